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
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    return add_icon(owner, MAIL_ICON_ID, WM_MAILICON_NOTIFY, LoadIconA(instance, "MLCKICON"), tip);
}

int remove_mail_icon(HWND owner)
{
    return remove_icon(owner, MAIL_ICON_ID);
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
