// The hidden main window: start-up, the polling cycle and command dispatch.
#include "app/app.h"

#include <shellapi.h>

#include "app/polling.h"
#include "dialogs/dialogs.h"
#include "mailcheck/connection/network_presence.h"
#include "mailcheck/mail_check.h"
#include "mailcheck/push_watch.h"
#include "resources/resource.h"
#include "settings/settings_file.h"
#include "settings/user_settings.h"
#include "shell/shell.h"
#include "tray/tray.h"

// Declared only for Windows 7 on; sent from Windows 8.1 on.
#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace {

const char ABOUT_TEXT[] =
    QB_NAME_AND_VERSION "\r\n"
    "POP3 新着メールチェッカー\r\n"
    "Copyright (C) 2026 Quillbeam developers";

// Explorer sends this after it has rebuilt the notification area, which
// drops every icon in it.
UINT taskbar_created_message;
bool settings_dialog_open;
// Asleep: nothing starts. Due at wake: a check was due when sleep came.
// Waiting for a network: the next check runs as soon as there is one.
// Waking: the wait for a network after wake, at most WAKE_WAIT_MS.
bool asleep;
bool due_at_wake;
bool waiting_for_network;
bool waking;
// Checks running: a check's error box is a message loop of its own, and a
// check may start inside it (the settings dialog's, a timer's).
int checking;
DWORD slept_at;
// After wake Wi-Fi usually needs seconds; the check waits this long at most.
constexpr UINT WAKE_WAIT_MS = 2 * 60 * 1000;
// A resume message that never comes must not stop polling for good: this
// long after the suspend a timer or a network notice counts as the wake.
constexpr UINT MISSED_WAKE_MS = 60 * 1000;
// What the push connection gets to say goodbye before the machine sleeps or
// the program ends (Exit ends within 2 s). Elsewhere it is told to close and
// not waited for: one still ending is no concern of the next check's.
constexpr DWORD SHORT_WAIT_MS = 1500;

void on_create(HWND window)
{
    taskbar_created_message = RegisterWindowMessageA("TaskbarCreated");
    if (!load_settings(window)) {
        SendMessageA(window, WM_CLOSE, 0, 0);
        return;
    }
    if (!start_network(window)) {
        SendMessageA(window, WM_CLOSE, 0, 0);
        return;
    }
    main_window = window;
    watch_network(window, WM_NETWORK_CHANGED);
    add_main_icon(window, MAIN_ICON_TIP);
    SendMessageA(window, WM_TIMER, 0, 0);   // the first check runs at once
}

void stop_waking(HWND window)
{
    waking = false;
    KillTimer(window, WAKE_TIMER_ID);
}

void resume(HWND window)
{
    asleep = false;
    if (!due_at_wake)
        return;   // polling had stopped after a failure: it stays stopped
    due_at_wake = false;
    waiting_for_network = true;
    waking = true;
    SetTimer(window, WAKE_TIMER_ID, WAKE_WAIT_MS, nullptr);
    if (!network_usable())
        OutputDebugStringA("Quillbeam: check waits for a usable network after wake\n");
    // In its turn, not inside the system's power message: a check may take
    // a minute and show a box.
    PostMessageA(window, WM_NETWORK_CHANGED, 0, 0);
}

void on_timer(HWND window, WPARAM id, bool after_news = false)
{
    if (asleep) {
        if (id == WAKE_TIMER_ID) {
            // The resume message never came. A periodic timer: left running,
            // it would start a check even where polling had stopped.
            KillTimer(window, WAKE_TIMER_ID);
            resume(window);
        }
        return;
    }
    KillTimer(window, CHECK_TIMER_ID);
    if (id == WAKE_TIMER_ID || !waking)
        stop_waking(window);   // the wait after wake is over: failures show again
    // The dialog's close runs the check that was due.
    if (settings_dialog_open)
        return;
    waiting_for_network = false;
    CheckRequest request = {};
    request.after_news = after_news;
    request.quiet_unreached = waking;
    CheckOutcome outcome;
    ++checking;
    const int checked = check_mailbox(window, request, &outcome);
    --checking;
    if (!checked) {
        stop_waking(window);   // polling stops after a box, the wake bound with it
        push_stop(0);
        return;
    }
    if (outcome.offers_push)
        push_start(window, WM_PUSH_NEWS, outcome.uidnext);   // unless it is open
    SetTimer(window, CHECK_TIMER_ID, check_interval_ms(user_settings.check_time), nullptr);
    waiting_for_network = outcome.no_network;
    if (!outcome.no_network)
        stop_waking(window);   // the server answered
}

void on_power(HWND window, WPARAM event)
{
    if (event == PBT_APMSUSPEND) {
        push_stop(SHORT_WAIT_MS);
        // What was due is due at wake; nothing starts while going to sleep.
        const bool check_timer = KillTimer(window, CHECK_TIMER_ID) != 0;
        const bool wake_timer = KillTimer(window, WAKE_TIMER_ID) != 0;
        due_at_wake = due_at_wake || check_timer || wake_timer || waiting_for_network;
        waking = false;
        asleep = true;
        slept_at = GetTickCount();
        SetTimer(window, WAKE_TIMER_ID, MISSED_WAKE_MS, nullptr);
    } else if ((event == PBT_APMRESUMEAUTOMATIC || event == PBT_APMRESUMESUSPEND) && asleep) {
        KillTimer(window, WAKE_TIMER_ID);
        resume(window);
    }
}

void on_network_changed(HWND window)
{
    push_network_changed();
    // Adapters going down at the suspend itself are no sign of a wake.
    if (asleep && GetTickCount() - slept_at >= MISSED_WAKE_MS) {
        KillTimer(window, WAKE_TIMER_ID);
        resume(window);
    }
    if (waiting_for_network && !asleep && !settings_dialog_open && network_usable())
        SendMessageA(window, WM_TIMER, CHECK_TIMER_ID, 0);
}

void open_settings(HWND window)
{
    KillTimer(window, CHECK_TIMER_ID);
    stop_waking(window);
    push_stop(0);   // the account may change
    remove_main_icon(window);
    settings_dialog_open = true;
    INT_PTR result = DialogBoxParamA(module_instance, "SETTINGDIALOG", window,
                                     settings_dialog_proc, 0);
    settings_dialog_open = false;
    // A dialog that could not even open never gave the icon back: without
    // it the user could not reach Exit.
    if (result == -1)
        add_main_icon(window, MAIN_ICON_TIP);
    SendMessageA(window, WM_TIMER, 0, 0);
}

void on_command(HWND window, WPARAM command)
{
    switch (command) {
    case IDM_EXIT:
        SendMessageA(window, WM_CLOSE, 0, 0);
        break;
    case IDM_ABOUT:
        MessageBoxA(window, ABOUT_TEXT, "About", MB_OK | MB_ICONINFORMATION);
        break;
    case IDM_SETTINGS:
        open_settings(window);
        break;
    case IDM_LAUNCH_MAILER:
        remove_mail_icon(window);
        launch_mailer();
        break;
    case IDM_CLOSE_NOTICE:
        remove_mail_icon(window);
        break;
    default:
        break;
    }
}

void on_icon_notify(HWND window, LPARAM mouse_message, WPARAM double_click_command,
                    const char* menu_name)
{
    // A click on the new-mail notification does what a double-click on its icon does.
    if (mouse_message == WM_LBUTTONDBLCLK || mouse_message == NIN_BALLOONUSERCLICK)
        SendMessageA(window, WM_COMMAND, double_click_command, 0);
    else if (mouse_message == WM_RBUTTONDOWN)
        show_popup_menu(window, menu_name);
}

} // namespace

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        on_create(window);
        return 0;   // 0 lets the creation go on; WM_CLOSE above already ended it
    case WM_DESTROY:
        // The icons go first: what follows may wait on the system.
        remove_main_icon(window);
        remove_mail_icon(window);
        stop_watching_network();
        if (push_stop(SHORT_WAIT_MS))
            WSACleanup();   // not under a push thread that is still ending
        PostQuitMessage(0);
        return 1;
    case WM_COMMAND:
        on_command(window, wparam);
        return 1;
    case WM_TIMER:
        on_timer(window, wparam);
        return 1;
    case WM_POWERBROADCAST:
        on_power(window, wparam);
        return 1;
    case WM_NETWORK_CHANGED:
        on_network_changed(window);
        return 1;
    case WM_PUSH_NEWS:
        // Not inside a check (its box: the push connection closes next),
        // and only from the push connection open now: a stopped one's late
        // news would start polling again after a failed check.
        if (push_take_news(wparam) && checking == 0)
            on_timer(window, CHECK_TIMER_ID, true);
        return 1;
    case WM_DPICHANGED:
    case WM_DISPLAYCHANGE:
        // The taskbar's scaling may have changed: icons of the size it now asks.
        rescale_icons(window);
        return 0;
    case WM_MAINICON_NOTIFY:
        on_icon_notify(window, lparam, IDM_SETTINGS, "MAINMENU");
        return 1;
    case WM_MAILICON_NOTIFY:
        on_icon_notify(window, lparam, IDM_LAUNCH_MAILER, "MAILMENU");
        return 1;
    default:
        if (message == taskbar_created_message && taskbar_created_message != 0) {
            // While the settings dialog is open its closing gives the icon back.
            if (!settings_dialog_open && main_window == window)
                add_main_icon(window, MAIN_ICON_TIP);
            restore_mail_icon(window);
            return 1;
        }
        return DefWindowProcA(window, message, wparam, lparam);
    }
}
