// The two notification-area icons and their pop-up menus.
#pragma once

#include <windows.h>

#include "resources/version.h"

// The resident icon's tip, also the program's versioned title.
constexpr char MAIN_ICON_TIP[] = QB_NAME_AND_VERSION;

int add_main_icon(HWND owner, const char* tip);
int remove_main_icon(HWND owner);
int add_mail_icon(HWND owner, const char* tip);
int remove_mail_icon(HWND owner);
// A Windows notification from the new-mail icon: title (code page 932, the
// notice text) and body. Windows 10 and 11 show it as a toast, also with
// the icon in the overflow, and keep it in the notification centre.
int show_mail_balloon(HWND owner, const char* title, const wchar_t* body);
int show_popup_menu(HWND owner, const char* menu_name);
