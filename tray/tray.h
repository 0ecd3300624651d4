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
int show_popup_menu(HWND owner, const char* menu_name);
