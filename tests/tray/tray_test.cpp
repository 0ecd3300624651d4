// The real tray code, seen through its two platform calls: every
// Shell_NotifyIconA and TrackPopupMenu it makes is recorded (their import
// slots are redirected) and nothing is shown; and the real chime beside the
// notice, seen through PlaySoundA.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "app/app.h"
#include "resources/resource.h"
#include "tests/support/import_redirect.h"
#include "tests/support/pictures.h"
#include "shell/shell.h"
#include "tray/tray.h"

#include <mmsystem.h>

extern "C" BOOL(WINAPI* notify_slot)(DWORD, PNOTIFYICONDATAA) IMPORT_SLOT(Shell_NotifyIconA, 8);
extern "C" BOOL(WINAPI* notify_w_slot)(DWORD, PNOTIFYICONDATAW) IMPORT_SLOT(Shell_NotifyIconW, 8);
extern "C" BOOL(WINAPI* track_slot)(HMENU, UINT, int, int, int, HWND, const RECT*) IMPORT_SLOT(TrackPopupMenu, 28);
extern "C" BOOL(WINAPI* play_slot)(LPCSTR, HMODULE, DWORD) IMPORT_SLOT(PlaySoundA, 12);
extern "C" HRESULT(WINAPI* state_slot)(QUERY_USER_NOTIFICATION_STATE*) IMPORT_SLOT(SHQueryUserNotificationState, 4);

// The record sizes the shell takes, as Windows lays the records out for
// each pointer size: the first form of the A record (up to its 64-byte tip),
// and the whole W record.
constexpr DWORD FIRST_A_RECORD = sizeof(void*) == 8 ? 104 : 88;
constexpr DWORD WHOLE_W_RECORD = sizeof(void*) == 8 ? 976 : 956;

namespace {

// A call with the first cbSize bytes of its record as passed: the first
// form (Shell_NotifyIconA) for the icons, the whole W record for the notification.
template <typename Record>
struct NotifyCallOf {
    DWORD message;
    Record data;
};
template <typename Record>
std::vector<NotifyCallOf<Record>> calls_of;

std::vector<DWORD> refused;   // what the shell answers FALSE to (recorded all the same)

template <typename Record>
BOOL WINAPI recording(DWORD message, Record* data)
{
    NotifyCallOf<Record> call = {message, {}};
    memcpy(&call.data, data, data->cbSize <= sizeof call.data ? data->cbSize : sizeof call.data);
    calls_of<Record>.push_back(call);
    return std::find(refused.begin(), refused.end(), message) == refused.end();
}
auto& notify_calls = calls_of<NOTIFYICONDATAA>;
auto& balloon_calls = calls_of<NOTIFYICONDATAW>;

int add_mail_3(HWND owner, const char* tip)
{
    return add_mail_icon(owner, tip, 3);
}

struct MenuCall {
    std::vector<UINT> commands;
    UINT flags;
    POINT at;
    HWND owner;
};
std::vector<MenuCall> menu_calls;

BOOL WINAPI recording_track(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT*)
{
    MenuCall call = {{}, flags, {x, y}, owner};
    for (int i = 0; i < GetMenuItemCount(menu); ++i)
        call.commands.push_back(GetMenuItemID(menu, i));
    menu_calls.push_back(call);
    return FALSE;
}

struct PlayCall {
    bool wave_resource;   // the name is this module's WAVE resource
    HMODULE module;
    DWORD flags;
};
std::vector<PlayCall> play_calls;
HRESULT user_state_result;
int user_state;

BOOL WINAPI recording_play(LPCSTR name, HMODULE module, DWORD flags)
{
    play_calls.push_back({FindResourceA(module, name, "WAVE") != nullptr && strcmp(name, "WAVE") == 0, module,
                          flags});
    return TRUE;
}

HRESULT WINAPI scripted_state(QUERY_USER_NOTIFICATION_STATE* state)
{
    *state = static_cast<QUERY_USER_NOTIFICATION_STATE>(user_state);
    return user_state_result;
}

// The pictures and bitmaps the tray code has made and not yet freed, seen
// through its import slots (Wine counts no GDI objects per process).
std::set<void*> live_pictures;
void made(void* handle)
{
    if (handle != nullptr)
        live_pictures.insert(handle);
}

// The small-icon size the system states where a test changes the scaling
// (0: as it is); no taskbar window to ask then, as before Windows 10.
int small_icon_size;

// Pictures read back without their alpha, as some drivers give them.
bool alpha_lost;
void lose_alpha(void* bits, const BITMAPINFO* format, int rows)
{
    uint32_t* pixels = static_cast<uint32_t*>(bits);
    for (int i = 0; bits != nullptr && alpha_lost && i < rows * format->bmiHeader.biWidth; ++i)
        pixels[i] &= 0x00FFFFFF;
}

} // namespace

// Stands in for a platform function from the start: calls it, then does
// what follows with its answer.
#define WATCHED(name, bytes, result, parameters, arguments, after)               \
    extern "C" result(WINAPI* name##_slot) parameters IMPORT_SLOT(name, bytes); \
    result(WINAPI* real_##name) parameters;                                     \
    result WINAPI watched_##name parameters                                     \
    {                                                                           \
        result answer = real_##name arguments;                                  \
        after;                                                                  \
        return answer;                                                          \
    }                                                                           \
    const bool name##_redirected = (real_##name = redirect_import(&name##_slot, watched_##name), true);
WATCHED(LoadImageA, 24, HANDLE, (HINSTANCE m, LPCSTR n, UINT t, int x, int y, UINT f), (m, n, t, x, y, f), made(answer))
WATCHED(CreateIconIndirect, 4, HICON, (PICONINFO i), (i), made(answer))
WATCHED(CreateDIBSection, 24, HBITMAP, (HDC d, const BITMAPINFO* b, UINT u, void** v, HANDLE h, DWORD o),
        (d, b, u, v, h, o), made(answer))
WATCHED(CreateBitmap, 20, HBITMAP, (int x, int y, UINT p, UINT b, const void* v), (x, y, p, b, v), made(answer))
WATCHED(GetIconInfo, 8, BOOL, (HICON h, PICONINFO i), (h, i), if (answer) { made(i->hbmColor); made(i->hbmMask); })
WATCHED(GetDC, 4, HDC, (HWND w), (w), made(answer))
WATCHED(ReleaseDC, 8, int, (HWND w, HDC d), (w, d), live_pictures.erase(d))
WATCHED(DestroyIcon, 4, BOOL, (HICON h), (h), live_pictures.erase(h))
WATCHED(DeleteObject, 4, BOOL, (HGDIOBJ h), (h), live_pictures.erase(h))
WATCHED(GetSystemMetrics, 4, int, (int i), (i), if (i == SM_CXSMICON && small_icon_size) answer = small_icon_size)
WATCHED(FindWindowA, 8, HWND, (LPCSTR c, LPCSTR t), (c, t), if (small_icon_size) answer = nullptr)
WATCHED(GetDIBits, 28, int, (HDC d, HBITMAP b, UINT s, UINT n, LPVOID v, LPBITMAPINFO i, UINT u), (d, b, s, n, v, i, u),
        lose_alpha(v, i, answer))

namespace {

class Tray : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        redirect_import(&notify_slot, recording<NOTIFYICONDATAA>);
        redirect_import(&notify_w_slot, recording<NOTIFYICONDATAW>);
        redirect_import(&track_slot, recording_track);
        redirect_import(&play_slot, recording_play);
        redirect_import(&state_slot, scripted_state);
    }
    void SetUp() override
    {
        module_instance = GetModuleHandleA(nullptr);
        owner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                module_instance, nullptr);
        notify_calls.clear();
        menu_calls.clear();
    }
    void TearDown() override
    {
        DestroyWindow(owner);
        small_icon_size = 0;
    }
    HWND owner = nullptr;
};

} // namespace

// The notification: the new-mail icon modified with NIF_INFO, in the whole
// record Vista and later take, so a long name in any script survives.
TEST_F(Tray, NotificationComesFromTheNewMailIcon)
{
    std::wstring longest(255, L'件');
    const struct { const wchar_t* body; std::wstring shown; } rows[] = {
        {L"山田太郎: 会議\nほか2通", L"山田太郎: 会議\nほか2通"},
        {longest.c_str(), longest},
    };
    for (const auto& row : rows) {
        balloon_calls.clear();
        notify_calls.clear();
        EXPECT_EQ(show_mail_balloon(owner, "合計3通のメールが着ています", row.body), 1);
        EXPECT_TRUE(notify_calls.empty()) << "the icon itself stays as it was added";
        ASSERT_EQ(balloon_calls.size(), 1u);
        const NOTIFYICONDATAW& data = balloon_calls[0].data;
        EXPECT_EQ(balloon_calls[0].message, static_cast<DWORD>(NIM_MODIFY));
        EXPECT_EQ(data.cbSize, WHOLE_W_RECORD);
        EXPECT_EQ(data.hWnd, owner);
        EXPECT_EQ(data.uID, static_cast<UINT>(MAIL_ICON_ID));
        EXPECT_EQ(data.uFlags, static_cast<UINT>(NIF_INFO));
        char title[128];
        WideCharToMultiByte(932, 0, data.szInfoTitle, -1, title, sizeof title, nullptr, nullptr);
        EXPECT_STREQ(title, "合計3通のメールが着ています");
        EXPECT_EQ(std::wstring(data.szInfo), row.shown);
        // No sound of its own (the chime follows its setting), Focus Assist's
        // quiet respected, the new-mail icon as its picture.
        // As the shell reads them: its own picture 0x4, large 0x20, no sound
        // 0x10, quiet time respected 0x80.
        EXPECT_EQ(data.dwInfoFlags, 0xB4u);
        EXPECT_NE(data.hBalloonIcon, nullptr);
    }
}

TEST_F(Tray, IconsGoToTheShellInTheFirstRecordForm)
{
    // 62 ASCII bytes and then a double-byte character: the 63-byte tip cuts
    // before it, never through it.
    const std::string long_tip = std::string(62, 'n') + "通知";
    struct Row {
        const char* name;
        int (*call)(HWND, const char*);
        const char* tip;
        DWORD message;
        UINT id, flags, callback;
        bool icon;
        std::string tip_shown;
    } rows[] = {
        {"add main", add_main_icon, MAIN_ICON_TIP, NIM_ADD, MAIN_ICON_ID,
         NIF_MESSAGE | NIF_ICON | NIF_TIP, WM_MAINICON_NOTIFY, true, "Quillbeam v1.1"},
        {"add mail", add_mail_3, "合計3通のメールが着ています", NIM_ADD, MAIL_ICON_ID,
         NIF_MESSAGE | NIF_ICON | NIF_TIP, WM_MAILICON_NOTIFY, true, "合計3通のメールが着ています"},
        {"long tip", add_mail_3, long_tip.c_str(), NIM_ADD, MAIL_ICON_ID,
         NIF_MESSAGE | NIF_ICON | NIF_TIP, WM_MAILICON_NOTIFY, true, std::string(62, 'n')},
        // Explorer restarted: the notice comes back as it was.
        {"restore mail", [](HWND w, const char*) { return restore_mail_icon(w); }, "", NIM_ADD, MAIL_ICON_ID,
         NIF_MESSAGE | NIF_ICON | NIF_TIP, WM_MAILICON_NOTIFY, true, std::string(62, 'n')},
        {"remove main", [](HWND w, const char*) { return remove_main_icon(w); }, "", NIM_DELETE,
         MAIN_ICON_ID, 0, 0, false, ""},
        {"remove mail", [](HWND w, const char*) { return remove_mail_icon(w); }, "", NIM_DELETE,
         MAIL_ICON_ID, 0, 0, false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        notify_calls.clear();
        EXPECT_EQ(row.call(owner, row.tip), 1);
        ASSERT_EQ(notify_calls.size(), 1u);
        const NOTIFYICONDATAA& data = notify_calls[0].data;
        EXPECT_EQ(notify_calls[0].message, row.message);
        EXPECT_EQ(data.cbSize, FIRST_A_RECORD);
        EXPECT_EQ(data.hWnd, owner);
        EXPECT_EQ(data.uID, row.id);
        EXPECT_EQ(data.uFlags, row.flags);
        EXPECT_EQ(data.uCallbackMessage, row.callback);
        EXPECT_EQ(data.hIcon != nullptr, row.icon);
        // Drawn for the notification area's size, not shrunk there.
        EXPECT_EQ(picture_of(data.hIcon).size, row.icon ? GetSystemMetrics(SM_CXSMICON) : 0);
        EXPECT_EQ(std::string(data.szTip), row.tip_shown);
    }
    notify_calls.clear();
    restore_mail_icon(owner);
    EXPECT_TRUE(notify_calls.empty()) << "a notice closed stays closed";
}

TEST_F(Tray, TheNewMailIconShowsItsCountOnItsOwnPicture)
{
    // "3" at 16 pixels as the user sees it in the lower right corner (x 10
    // to 15, y 8 to 15): a light rim (o) parts the red badge (R) from the
    // red arrow, white digits (W); everywhere else the picture itself (.).
    const char* const three[] = {".ooooo", "o.RRR.", "oRWWWR", "oRRRWR", "oRWWWR", "oRRRWR", "oRWWWR", "o.RRR."};
    const Picture plain = picture_of(tray_picture(module_instance, "MLCKICON", 16, 0), true);
    const Picture shown = picture_of(tray_picture(module_instance, "MLCKICON", 16, 3), true);
    ASSERT_EQ(shown.size, 16);
    ASSERT_EQ(plain.size, 16);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const char want = x >= 10 && y >= 8 ? three[y - 8][x - 10] : '.';
            const uint32_t expected = want == 'o' ? 0xFFF0F0F0 : want == 'R' ? 0xFFC42B1C
                                    : want == 'W' ? 0xFFFFFFFF : plain.pixels[y * 16 + x];
            EXPECT_EQ(shown.pixels[y * 16 + x], expected) << x << ", " << y;
        }
    }
    // Read back without its alpha, the badge would show alone: the plain picture.
    alpha_lost = true;
    const HICON without_alpha = tray_picture(module_instance, "MLCKICON", 16, 3);
    alpha_lost = false;
    EXPECT_EQ(picture_of(without_alpha, true).pixels, plain.pixels);
    // No room for three glyphs: the plain picture.
    EXPECT_EQ(picture_of(tray_picture(module_instance, "MLCKICON", 12, 100), true).pixels,
              picture_of(tray_picture(module_instance, "MLCKICON", 12, 0), true).pixels);
}

TEST_F(Tray, PicturesOfEachNewScalingAndFreedWhenReplaced)
{
    live_pictures.clear();
    add_main_icon(owner, MAIN_ICON_TIP);
    for (int check = 1; check <= 1000; ++check) {
        // As a check finds mail: the notice taken down and put up again; now
        // and then Explorer restarts or the scaling changes.
        remove_mail_icon(owner);
        add_mail_icon(owner, "notice", check % 150);
        if (check % 100 == 0) {
            restore_mail_icon(owner);
            small_icon_size = check % 200 == 0 ? 16 : 24;
            notify_calls.clear();
            rescale_icons(owner);
            // Both icons, in the records they were added with, at the new size.
            ASSERT_EQ(notify_calls.size(), 2u);
            EXPECT_EQ(notify_calls[1].message, static_cast<DWORD>(NIM_MODIFY));
            EXPECT_STREQ(notify_calls[1].data.szTip, "notice");
            EXPECT_EQ(picture_of(notify_calls[0].data.hIcon).size, small_icon_size);
        }
    }
    EXPECT_EQ(live_pictures.size(), 2u) << "the two pictures shown, nothing else";
    remove_main_icon(owner);
    remove_mail_icon(owner);
    EXPECT_TRUE(live_pictures.empty());
}

// The scaling of the window's monitor or of the screen changed, as the
// window hears of it: the icons shown get pictures of the size the
// notification area now asks for.
TEST_F(Tray, ANewScalingGivesTheIconsPicturesOfItsSize)
{
    for (UINT message : {0x02E0u /* WM_DPICHANGED */, static_cast<UINT>(WM_DISPLAYCHANGE)}) {
        small_icon_size = 16;
        add_main_icon(owner, MAIN_ICON_TIP);
        add_mail_icon(owner, "notice", 3);
        small_icon_size = 24;
        notify_calls.clear();
        main_window_proc(owner, message, 0, 0);
        ASSERT_EQ(notify_calls.size(), 2u) << message;
        for (const auto& call : notify_calls)
            EXPECT_EQ(picture_of(call.data.hIcon).size, 24) << message;
        remove_main_icon(owner);
        remove_mail_icon(owner);
    }
}

// What the shell refused is tried again: an add of an icon still there
// (Explorer restarted) becomes a modify, and a modify that failed during a
// scaling change is made again at the next one. A removed icon stays removed.
TEST_F(Tray, WhatTheShellRefusedIsTriedAgain)
{
    small_icon_size = 16;
    add_mail_icon(owner, "notice", 3);
    refused = {NIM_ADD};
    notify_calls.clear();
    restore_mail_icon(owner);
    ASSERT_EQ(notify_calls.size(), 2u);
    EXPECT_EQ(notify_calls[1].message, static_cast<DWORD>(NIM_MODIFY));
    refused = {NIM_MODIFY};
    small_icon_size = 24;
    rescale_icons(owner);
    refused.clear();
    notify_calls.clear();
    rescale_icons(owner);
    ASSERT_EQ(notify_calls.size(), 1u);
    EXPECT_EQ(picture_of(notify_calls[0].data.hIcon).size, 24);
    remove_mail_icon(owner);
    small_icon_size = 16;
    notify_calls.clear();
    rescale_icons(owner);
    restore_mail_icon(owner);
    EXPECT_TRUE(notify_calls.empty());
}

TEST_F(Tray, MenusOpenBesideTheCursorForTheOwner)
{
    struct Row { const char* menu; std::vector<UINT> commands; } rows[] = {
        {"MAINMENU", {IDM_ABOUT, 0, IDM_SETTINGS, 0, IDM_EXIT}},
        {"MAILMENU", {IDM_LAUNCH_MAILER, 0, IDM_CLOSE_NOTICE}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.menu);
        menu_calls.clear();
        POINT cursor;
        GetCursorPos(&cursor);
        EXPECT_EQ(show_popup_menu(owner, row.menu), 1);
        ASSERT_EQ(menu_calls.size(), 1u);
        EXPECT_EQ(menu_calls[0].commands, row.commands);
        EXPECT_EQ(menu_calls[0].flags, static_cast<UINT>(TPM_RIGHTBUTTON));
        EXPECT_EQ(menu_calls[0].at.x, cursor.x + 5);
        EXPECT_EQ(menu_calls[0].at.y, cursor.y + 5);
        EXPECT_EQ(menu_calls[0].owner, owner);
        // The WM_NULL that lets the menu close when the user clicks elsewhere.
        MSG message;
        EXPECT_TRUE(PeekMessageA(&message, owner, WM_NULL, WM_NULL, PM_REMOVE));
    }
}

TEST_F(Tray, ChimeFromThisModuleOnlyWhenNotificationsAreWelcome)
{
    const struct { const char* name; int state; HRESULT result; bool plays; } rows[] = {
        {"accepts notifications", QUNS_ACCEPTS_NOTIFICATIONS, S_OK, true},
        {"the question fails", QUNS_BUSY, E_FAIL, true},
        {"no user present (locked, away)", QUNS_NOT_PRESENT, S_OK, false},
        {"a Store app full screen", 7, S_OK, false},
        {"busy", QUNS_BUSY, S_OK, false},
        {"full-screen game", QUNS_RUNNING_D3D_FULL_SCREEN, S_OK, false},
        {"presentation", QUNS_PRESENTATION_MODE, S_OK, false},
        {"first hour after the user's first log-on", 6, S_OK, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        play_calls.clear();
        user_state = row.state;
        user_state_result = row.result;
        EXPECT_EQ(play_new_mail_sound(), 1);
        ASSERT_EQ(play_calls.size(), row.plays ? 1u : 0u);
        if (row.plays) {
            EXPECT_TRUE(play_calls[0].wave_resource);
            EXPECT_EQ(play_calls[0].module, module_instance);
            // Asynchronous (the check goes on), and silence rather than the default sound.
            EXPECT_EQ(play_calls[0].flags, static_cast<DWORD>(SND_RESOURCE | SND_ASYNC | SND_NODEFAULT));
        }
    }
}
