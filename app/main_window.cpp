// The hidden main window: start-up, the polling cycle and command dispatch.
#include "app/app.h"

#include "app/polling.h"
#include "dialogs/dialogs.h"
#include "mailcheck/mail_check.h"
#include "resources/resource.h"
#include "settings/settings_file.h"
#include "settings/user_settings.h"
#include "shell/shell.h"
#include "tray/tray.h"

namespace {

const char ABOUT_TEXT[] =
    QB_NAME_AND_VERSION "\r\n"
    "POP3 新着メールチェッカー\r\n"
    "Copyright (C) 2026 Quillbeam developers";

// Explorer sends this after it has rebuilt the notification area, which
// drops every icon in it.
UINT taskbar_created_message;
bool settings_dialog_open;

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
    add_main_icon(window, MAIN_ICON_TIP);
    SendMessageA(window, WM_TIMER, 0, 0);   // the first check runs at once
}

void on_timer(HWND window)
{
    KillTimer(window, CHECK_TIMER_ID);
    if (check_mailbox(window))
        SetTimer(window, CHECK_TIMER_ID, check_interval_ms(user_settings.check_time), nullptr);
}

void open_settings(HWND window)
{
    KillTimer(window, CHECK_TIMER_ID);
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
    if (mouse_message == WM_LBUTTONDBLCLK)
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
        WSACleanup();
        remove_main_icon(window);
        remove_mail_icon(window);
        PostQuitMessage(0);
        return 1;
    case WM_COMMAND:
        on_command(window, wparam);
        return 1;
    case WM_TIMER:
        on_timer(window);
        return 1;
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
            return 1;
        }
        return DefWindowProcA(window, message, wparam, lparam);
    }
}
