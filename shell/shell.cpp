// The new-mail sound, the mailer start, the Startup shortcut and the mailer
// chooser: small hand-offs to the platform, none of which reports anything.
#include "shell/shell.h"

#include <commdlg.h>
#include <mmsystem.h>
#include <shellapi.h>
#include <shlobj.h>

#include "app/app.h"
#include "resources/resource.h"
#include "settings/user_settings.h"

#include <stddef.h>

// The record without its last three fields, which every Windows takes; the
// platform's macro for it is not a constant expression, so pin its layout.
#if !defined(_WIN64)
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
              "OPENFILENAME_SIZE_VERSION_400A is 76 bytes");
#endif

namespace {

// Only when Windows says notifications are welcome: not while the user is
// presenting, running a full-screen program or busy. When Windows cannot
// say, as always.
bool chime_welcome()
{
    QUERY_USER_NOTIFICATION_STATE state;
    return FAILED(SHQueryUserNotificationState(&state)) || state == QUNS_ACCEPTS_NOTIFICATIONS;
}

} // namespace

int play_new_mail_sound()
{
    if (chime_welcome())
        PlaySoundA("WAVE", module_instance, SND_RESOURCE | SND_ASYNC | SND_NODEFAULT);
    return 1;
}

int launch_mailer()
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    ZeroMemory(&process, sizeof process);
    startup.cb = sizeof startup;

    // A path that names an existing file is started as exactly that file, so
    // "C:\Program Files\Mail\mail.exe" can never run "C:\Program.exe".
    // Anything else is a command line as the user typed it.
    char file[MAILER_PATH_SIZE];
    char command_line[MAILER_PATH_SIZE + 2];
    to_windows_path(user_settings.mailer_path, file, sizeof file);
    DWORD attributes = file[0] != '\0' ? GetFileAttributesA(file) : INVALID_FILE_ATTRIBUTES;
    BOOL started;
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        wsprintfA(command_line, "\"%s\"", file);
        started = CreateProcessA(file, command_line, nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &process);
    } else {
        lstrcpynA(command_line, user_settings.mailer_path, sizeof command_line);
        started = CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &process);
    }
    if (started) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    return 1;
}

HRESULT create_startup_shortcut(const char* link_path, const char* target_path,
                                const char* description, const char* arguments,
                                const char* working_directory, const char* icon_path,
                                int icon_index, int show_command)
{
    IShellLinkA* link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkA, reinterpret_cast<void**>(&link));
    if (FAILED(result))
        return result;
    IPersistFile* file = nullptr;
    result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (FAILED(result)) {
        link->Release();
        return result;
    }
    link->SetPath(target_path);
    link->SetDescription(description);
    link->SetArguments(arguments);
    link->SetWorkingDirectory(working_directory);
    link->SetIconLocation(icon_path, icon_index);
    link->SetShowCmd(show_command);

    WCHAR wide_path[MAX_PATH];
    wide_path[0] = L'\0';
    MultiByteToWideChar(CP_ACP, 0, link_path, -1, wide_path, MAX_PATH);
    result = file->Save(wide_path, TRUE);
    file->Release();
    link->Release();
    return result;
}

int select_mailer(HWND dialog)
{
    char file[MAX_PATH] = "";
    char title[255] = "";
    OPENFILENAMEA choice;
    ZeroMemory(&choice, sizeof choice);
    choice.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    choice.hwndOwner = dialog;
    choice.lpstrFilter = "Exe(*.exe)\0*.exe\0All file(*.*)\0*.*\0";
    choice.lpstrFile = file;
    choice.nMaxFile = sizeof file;
    choice.lpstrFileTitle = title;
    choice.nMaxFileTitle = sizeof title;
    choice.lpstrTitle = "Mailer select";
    choice.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    choice.lpstrDefExt = "";
    // Taken before the chooser, which may move the current directory.
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length == 0 || length >= sizeof directory)
        directory[0] = '\0';
    if (!GetOpenFileNameA(&choice))
        return 0;
    to_mailer_path(file, directory);
    SetWindowTextA(GetDlgItem(dialog, IDC_MAILER_PATH), file);
    return 1;
}
