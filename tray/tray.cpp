// The resident icon, the new-mail icon and their pop-up menus.
#include "tray/tray.h"

#include <shellapi.h>

#include "app/app.h"
#include "resources/resource.h"
#include "settings/cp932_text.h"
#include "settings/user_settings.h"

// The first form of the record, which every shell since Windows 95 takes.
#include <stddef.h>

#if !defined(_WIN64)
static_assert(offsetof(NOTIFYICONDATAA, szTip) + 64 == 88, "NOTIFYICONDATAA_V1_SIZE is 88 bytes");
#endif

namespace {

int add_icon(HWND owner, UINT id, UINT callback_message, HICON icon, const char* tip)
{
    NOTIFYICONDATAA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = owner;
    data.uID = id;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = callback_message;
    data.hIcon = icon;
    copy_text(data.szTip, 64, tip);   // the first form's tip holds 63 bytes
    Shell_NotifyIconA(NIM_ADD, &data);
    return 1;
}

int remove_icon(HWND owner, UINT id)
{
    NOTIFYICONDATAA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = owner;
    data.uID = id;
    Shell_NotifyIconA(NIM_DELETE, &data);
    return 1;
}

// The new-mail picture, from the module that made the owner window.
HICON mail_icon(HWND owner)
{
    return LoadIconA(reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE)), "MLCKICON");
}

} // namespace

int add_main_icon(HWND owner, const char* tip)
{
    return add_icon(owner, MAIN_ICON_ID, WM_MAINICON_NOTIFY,
                    LoadIconA(module_instance, "MAINICON"), tip);
}

int remove_main_icon(HWND owner)
{
    return remove_icon(owner, MAIN_ICON_ID);
}

int add_mail_icon(HWND owner, const char* tip)
{
    return add_icon(owner, MAIL_ICON_ID, WM_MAILICON_NOTIFY, mail_icon(owner), tip);
}

int remove_mail_icon(HWND owner)
{
    return remove_icon(owner, MAIL_ICON_ID);
}

// Declared only for Windows 7 on; older systems ignore the flag.
#ifndef NIIF_RESPECT_QUIET_TIME
#define NIIF_RESPECT_QUIET_TIME 0x00000080
#endif

int show_mail_balloon(HWND owner, const char* title, const wchar_t* body)
{
    // The whole record Vista and later take, so any sender's name survives;
    // the icon itself stays as it was added.
    NOTIFYICONDATAW data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = sizeof data;
    data.hWnd = owner;
    data.uID = MAIL_ICON_ID;
    data.uFlags = NIF_INFO;
    // The text is code page 932 whatever the system's own code page is.
    MultiByteToWideChar(932, 0, title, -1, data.szInfoTitle, ARRAYSIZE(data.szInfoTitle) - 1);
    lstrcpynW(data.szInfo, body, ARRAYSIZE(data.szInfo));
    // The chime is ours and follows its setting; Focus Assist holds it back.
    data.dwInfoFlags = NIIF_USER | NIIF_LARGE_ICON | NIIF_NOSOUND | NIIF_RESPECT_QUIET_TIME;
    data.hBalloonIcon = mail_icon(owner);
    Shell_NotifyIconW(NIM_MODIFY, &data);
    return 1;
}

int show_popup_menu(HWND owner, const char* menu_name)
{
    POINT cursor;
    GetCursorPos(&cursor);
    SetForegroundWindow(owner);
    HMENU menu = LoadMenuA(module_instance, menu_name);
    if (menu == nullptr)
        return 1;
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_RIGHTBUTTON, cursor.x + 5, cursor.y + 5, 0, owner,
                   nullptr);
    DestroyMenu(menu);
    // Without this the menu of a notification-area icon does not close when
    // the user clicks elsewhere.
    PostMessageA(owner, WM_NULL, 0, 0);
    return 1;
}
