// The first-run setup dialog and the settings dialog.
#include "dialogs/dialogs.h"

#include <shlobj.h>

#include "app/app.h"
#include "mailcheck/server_address.h"
#include "resources/resource.h"
#include "settings/form_rules.h"
#include "settings/settings_file.h"
#include "settings/cp932_text.h"
#include "settings/user_settings.h"
#include "shell/shell.h"
#include "signin/browser_signin.h"
#include "tray/tray.h"

namespace {

const char SHORTCUT_NAME[] = "\\" QB_NAME_AND_VERSION ".lnk";

// Reads a field, keeping at most what the slot takes; the cut never falls
// inside a double-byte character.
void read_field(HWND dialog, int id, char* out, size_t out_size)
{
    char text[1024];
    GetWindowTextA(GetDlgItem(dialog, id), text, sizeof text);
    copy_text(out, out_size, text);
}

void read_entry(HWND dialog, SettingsEntry* entry, bool with_check_time)
{
    read_field(dialog, IDC_POP_SERVER, entry->pop_server, sizeof entry->pop_server);
    read_field(dialog, IDC_ACCOUNT, entry->account, sizeof entry->account);
    read_field(dialog, IDC_PASSWORD, entry->password, sizeof entry->password);
    if (with_check_time)
        read_field(dialog, IDC_CHECK_TIME, entry->check_time, sizeof entry->check_time);
    else
        entry->check_time[0] = '\0';
    read_field(dialog, IDC_MAILER_PATH, entry->mailer_path, sizeof entry->mailer_path);
    entry->sound_on = IsDlgButtonChecked(dialog, IDC_SOUND) == BST_CHECKED ? 1 : 0;
    ServerAddress server;
    entry->signs_in = parse_server_address(entry->pop_server, &server) && signin_host(server.name);
}

// An empty password on a sign-in server: the sign-in stored for this
// server and account, or a new one in the browser now. False (after its
// box; none for Cancel) when there is none: the dialog stays open.
bool signed_in(HWND dialog, const SettingsEntry& entry)
{
    ServerAddress server;
    if (!entry.signs_in || entry.password[0] != '\0' || !parse_server_address(entry.pop_server, &server)
        || signin_stored_for(entry.pop_server, entry.account))
        return true;
    const SigninError error =
        sign_in_with_browser(dialog, {entry.pop_server, server.name, entry.account, server.protocol == Protocol::imap});
    if (error != SigninError::none && error != SigninError::cancelled)
        MessageBoxA(dialog, signin_error_text(error), "Error", MB_OK | MB_ICONERROR);
    return error == SigninError::none;
}

void warn(HWND dialog, const char* warning)
{
    MessageBoxA(dialog, warning, "Exclamation", MB_OK | MB_ICONWARNING);
}

// The file chooser may move the current directory, and with it the current
// drive, which the drive-less settings path depends on: put it back.
void browse_keeping_directory(HWND dialog)
{
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    select_mailer(dialog);
    if (length > 0 && length < sizeof directory)
        SetCurrentDirectoryA(directory);
}

void write_startup_shortcut(HWND dialog)
{
    char module[MAX_PATH];
    char directory[MAX_PATH];
    char link[MAX_PATH];
    DWORD module_length = GetModuleFileNameA(nullptr, module, sizeof module);
    DWORD directory_length = GetCurrentDirectoryA(sizeof directory, directory);
    link[0] = '\0';
    SHGetSpecialFolderPathA(dialog, link, CSIDL_STARTUP, TRUE);
    // Nothing is written when a name does not fit: the setup still succeeds.
    if (module_length == 0 || module_length >= sizeof module || directory_length == 0
        || directory_length >= sizeof directory || link[0] == '\0'
        || lstrlenA(link) + lstrlenA(SHORTCUT_NAME) >= static_cast<int>(sizeof link))
        return;
    lstrcatA(link, SHORTCUT_NAME);
    if (FAILED(CoInitialize(nullptr)))
        return;
    create_startup_shortcut(link, module, module, "/s", directory, nullptr, 0, SW_SHOWNORMAL);
    CoUninitialize();
}

void setup_ok(HWND dialog)
{
    SettingsEntry entry;
    read_entry(dialog, &entry, false);
    const char* warning = accept_setup_entry(&entry);
    if (warning != nullptr) {
        warn(dialog, warning);
        return;
    }
    if (!signed_in(dialog, entry))
        return;
    if (!save_settings(dialog)) {
        SendMessageA(dialog, WM_CLOSE, 0, 0);
        return;
    }
    if (IsDlgButtonChecked(dialog, IDC_STARTUP) == BST_CHECKED)
        write_startup_shortcut(dialog);
    EndDialog(dialog, 1);
}

void settings_init(HWND dialog)
{
    SetWindowTextA(GetDlgItem(dialog, IDC_POP_SERVER), user_settings.pop_server);
    SetWindowTextA(GetDlgItem(dialog, IDC_ACCOUNT), user_settings.account);
    SetWindowTextA(GetDlgItem(dialog, IDC_PASSWORD), user_settings.password);
    SetWindowTextA(GetDlgItem(dialog, IDC_CHECK_TIME), user_settings.check_time);
    SetWindowTextA(GetDlgItem(dialog, IDC_MAILER_PATH), user_settings.mailer_path);
    if (user_settings.sound_on == 1)
        SendMessageA(GetDlgItem(dialog, IDC_SOUND), BM_SETCHECK, BST_CHECKED, 0);
    SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void settings_ok(HWND dialog)
{
    SettingsEntry entry;
    read_entry(dialog, &entry, true);
    // Signed in before the record is written: a sign-in that fails leaves it as it was.
    const char* warning = check_settings_entry(&entry);
    if (warning != nullptr) {
        warn(dialog, warning);
        return;
    }
    if (!signed_in(dialog, entry))
        return;
    accept_settings_entry(&entry);
    // A failed save has shown its error; the dialog stays open.
    if (save_settings(dialog))
        SendMessageA(dialog, WM_CLOSE, 0, 0);
}

void setup_init(HWND dialog)
{
    SendMessageA(GetDlgItem(dialog, IDC_STARTUP), BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(GetDlgItem(dialog, IDC_SOUND), BM_SETCHECK, BST_CHECKED, 0);
}

void setup_close(HWND dialog)
{
    EndDialog(dialog, 0);
}

// Every way out of the settings dialog passes here, so the resident icon is
// always back when it ends.
void settings_close(HWND dialog)
{
    add_main_icon(main_window, MAIN_ICON_TIP);
    EndDialog(dialog, 1);
}

// The two dialogs handle the same messages; they differ in what opening,
// OK and closing do. Only a click counts as a command (the whole wParam),
// and the standard IDCANCEL of Escape is not one of them.
INT_PTR handle_dialog_message(HWND dialog, UINT message, WPARAM wparam, void (*on_init)(HWND),
                              void (*on_ok)(HWND), void (*on_close)(HWND))
{
    switch (message) {
    case WM_INITDIALOG:
        on_init(dialog);
        return TRUE;
    case WM_CLOSE:
        on_close(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (wparam) {
        case IDC_OK_BUTTON:
            on_ok(dialog);
            break;
        case IDC_CANCEL_BUTTON:
            SendMessageA(dialog, WM_CLOSE, 0, 0);
            break;
        case IDC_BROWSE:
            browse_keeping_directory(dialog);
            break;
        default:
            break;
        }
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

INT_PTR CALLBACK setup_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    return handle_dialog_message(dialog, message, wparam, setup_init, setup_ok, setup_close);
}

INT_PTR CALLBACK settings_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    return handle_dialog_message(dialog, message, wparam, settings_init, settings_ok,
                                 settings_close);
}
