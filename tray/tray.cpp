// The resident icon, the new-mail icon and their pop-up menus.
#include "tray/tray.h"

#include <shellapi.h>

#include "app/app.h"
#include "resources/resource.h"
#include "settings/cp932_text.h"
#include "settings/user_settings.h"
#include "tray/count_badge.h"

// The first form of the record, which every shell since Windows 95 takes.
#include <stddef.h>

#if !defined(_WIN64)
static_assert(offsetof(NOTIFYICONDATAA, szTip) + 64 == 88, "NOTIFYICONDATAA_V1_SIZE is 88 bytes");
#endif

namespace {

// One of the two icons: what it is to the shell, and what it shows.
struct TrayIcon {
    UINT id;
    UINT callback_message;
    const char* picture_name;
    bool shown;
    HICON picture;   // made for the shell at size pixels; ours to free once replaced
    int size;
    int count;       // in the picture's corner where above 0
    char tip[64];    // the first form's tip holds 63 bytes
};
TrayIcon main_icon = {MAIN_ICON_ID, WM_MAINICON_NOTIFY, "MAINICON", false, nullptr, 0, 0, ""};
TrayIcon mail_icon = {MAIL_ICON_ID, WM_MAILICON_NOTIFY, "MLCKICON", false, nullptr, 0, 0, ""};

// The size the notification area asks for: its small-icon size at the DPI
// of the taskbar's monitor, which Windows 10 and later tell per monitor.
int tray_icon_size()
{
    HMODULE user32 = GetModuleHandleA("user32.dll");
    auto dpi_of = reinterpret_cast<UINT(WINAPI*)(HWND)>(
        reinterpret_cast<void*>(GetProcAddress(user32, "GetDpiForWindow")));
    auto metric_at = reinterpret_cast<int(WINAPI*)(int, UINT)>(
        reinterpret_cast<void*>(GetProcAddress(user32, "GetSystemMetricsForDpi")));
    HWND taskbar = FindWindowA("Shell_TrayWnd", nullptr);
    const UINT dpi = taskbar != nullptr && dpi_of != nullptr && metric_at != nullptr ? dpi_of(taskbar) : 0;
    return dpi != 0 ? metric_at(SM_CXSMICON, dpi) : GetSystemMetrics(SM_CXSMICON);
}

// The picture with the count painted into its own pixels, alpha kept; null
// where it cannot be read back or the count does not fit.
HICON draw_count(HICON plain, int size, int count)
{
    ICONINFO info;
    if (size > BADGE_PICTURE_MAX || !GetIconInfo(plain, &info))
        return nullptr;
    BITMAPINFO format;
    ZeroMemory(&format, sizeof format);
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = size;
    format.bmiHeader.biHeight = -size;   // rows top-down
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP colour = CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC screen = GetDC(nullptr);
    uint32_t* pixels = static_cast<uint32_t*>(bits);
    HICON drawn = nullptr;
    if (colour != nullptr && info.hbmColor != nullptr &&
        GetDIBits(screen, info.hbmColor, 0, size, bits, &format, DIB_RGB_COLORS) == size) {
        uint32_t seen = 0;
        for (int i = 0; i < size * size; ++i)
            seen |= pixels[i];
        // A picture read back without its alpha would show as the badge alone.
        if ((seen >> 24) != 0 && paint_count_badge(pixels, size, count)) {
            // The mask, for where only a mask is looked at: set where nothing shows.
            BYTE mask[BADGE_PICTURE_MAX / 8 * BADGE_PICTURE_MAX];
            const int stride = (size + 15) / 16 * 2;
            ZeroMemory(mask, sizeof mask);
            for (int i = 0; i < size * size; ++i)
                if ((pixels[i] >> 24) == 0)
                    mask[i / size * stride + i % size / 8] |= static_cast<BYTE>(0x80 >> (i % size % 8));
            HBITMAP mask_bitmap = CreateBitmap(size, size, 1, 1, mask);
            ICONINFO made = {TRUE, 0, 0, mask_bitmap, colour};
            if (mask_bitmap != nullptr)
                drawn = CreateIconIndirect(&made);
            DeleteObject(mask_bitmap);
        }
    }
    ReleaseDC(nullptr, screen);
    DeleteObject(colour);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return drawn;
}

// The module that made the owner window, where the new-mail picture is.
HINSTANCE owner_module(HWND owner)
{
    return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
}

// Adds the icon, or gives it a picture of today's size, in the same record;
// the picture it had is freed.
int put_icon(HWND owner, TrayIcon& icon, DWORD message)
{
    const int size = tray_icon_size();
    HICON picture = tray_picture(&icon == &main_icon ? module_instance : owner_module(owner),
                                 icon.picture_name, size, icon.count);
    NOTIFYICONDATAA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = owner;
    data.uID = icon.id;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = icon.callback_message;
    data.hIcon = picture;
    copy_text(data.szTip, sizeof data.szTip, icon.tip);
    // An icon still there (Explorer restarted, or it was never told of the
    // removal) refuses an add: its record is then modified instead.
    BOOL put = Shell_NotifyIconA(message, &data);
    if (!put && message == NIM_ADD)
        put = Shell_NotifyIconA(NIM_MODIFY, &data);
    icon.shown = true;   // what it should show: Explorer's restart adds it again
    if (!put) {
        // The shell keeps what it had (a modify that timed out during a
        // scaling change): so do we, and the next change tries again.
        DestroyIcon(picture);
        return 0;
    }
    if (icon.picture != nullptr)
        DestroyIcon(icon.picture);
    icon.picture = picture;
    icon.size = size;
    return 1;
}

int add_icon(HWND owner, TrayIcon& icon, const char* tip, int count)
{
    copy_text(icon.tip, sizeof icon.tip, tip);
    icon.count = count;
    return put_icon(owner, icon, NIM_ADD);
}

int remove_icon(HWND owner, TrayIcon& icon)
{
    NOTIFYICONDATAA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = owner;
    data.uID = icon.id;
    Shell_NotifyIconA(NIM_DELETE, &data);
    if (icon.picture != nullptr)
        DestroyIcon(icon.picture);
    icon.picture = nullptr;
    icon.shown = false;
    return 1;
}

void rescale(HWND owner, TrayIcon& icon, int size)
{
    if (icon.shown && icon.size != size)
        put_icon(owner, icon, NIM_MODIFY);
}

} // namespace

HICON tray_picture(HINSTANCE module, const char* name, int size, int count)
{
    HICON plain = static_cast<HICON>(LoadImageA(module, name, IMAGE_ICON, size, size, 0));
    HICON drawn = plain != nullptr && count > 0 ? draw_count(plain, size, count) : nullptr;
    if (drawn == nullptr)
        return plain;   // never a blank icon: the plain one still says there is mail
    DestroyIcon(plain);
    return drawn;
}

int add_main_icon(HWND owner, const char* tip)
{
    return add_icon(owner, main_icon, tip, 0);
}

int remove_main_icon(HWND owner)
{
    return remove_icon(owner, main_icon);
}

int add_mail_icon(HWND owner, const char* tip, int count)
{
    return add_icon(owner, mail_icon, tip, count);
}

int remove_mail_icon(HWND owner)
{
    return remove_icon(owner, mail_icon);
}

int restore_mail_icon(HWND owner)
{
    return mail_icon.shown ? put_icon(owner, mail_icon, NIM_ADD) : 1;
}

int rescale_icons(HWND owner)
{
    const int size = tray_icon_size();
    rescale(owner, main_icon, size);
    rescale(owner, mail_icon, size);
    return 1;
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
    data.hBalloonIcon = LoadIconA(owner_module(owner), "MLCKICON");
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
