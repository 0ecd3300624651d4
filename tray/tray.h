// The two notification-area icons and their pop-up menus.
#pragma once

#include <windows.h>

#include "resources/version.h"

// The resident icon's tip, also the program's versioned title.
constexpr char MAIN_ICON_TIP[] = QB_NAME_AND_VERSION;

int add_main_icon(HWND owner, const char* tip);
int remove_main_icon(HWND owner);
// The new-mail icon, the count in its corner (the tip says it in words).
int add_mail_icon(HWND owner, const char* tip, int count);
int remove_mail_icon(HWND owner);
// The notification area was rebuilt (Explorer restarted, or the taskbar's
// scaling changed): the new-mail icon, if it was shown, comes back.
int restore_mail_icon(HWND owner);
// The scaling changed: the icons shown get pictures of the size the
// notification area now asks for.
int rescale_icons(HWND owner);
// The named icon from module at size x size, count in its corner where above
// 0; the plain picture where the count does not fit or cannot be drawn. The
// caller destroys it.
HICON tray_picture(HINSTANCE module, const char* name, int size, int count);
// A Windows notification from the new-mail icon: title (code page 932, the
// notice text) and body. Windows 10 and 11 show it as a toast, also with
// the icon in the overflow, and keep it in the notification centre.
int show_mail_balloon(HWND owner, const char* title, const wchar_t* body);
int show_popup_menu(HWND owner, const char* menu_name);
