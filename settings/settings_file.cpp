#include "settings/settings_file.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "app/app.h"
#include "dialogs/dialogs.h"
#include "resources/resource.h"
#include "settings/owner_only_file.h"
#include "settings/user_settings.h"

namespace {

int save_failed(HWND owner, const char* temp_path)
{
    if (temp_path[0] != '\0')
        DeleteFileA(temp_path);
    MessageBoxA(owner, "User file create error", "Error", MB_OK | MB_ICONERROR);
    return 0;
}

// The open file as a C stream; nullptr (the handle closed) when that fails.
FILE* stream_of(HANDLE handle, int flags, const char* mode)
{
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    FILE* file = descriptor != -1 ? _fdopen(descriptor, mode) : nullptr;
    if (file == nullptr) {
        if (descriptor != -1)
            _close(descriptor);
        else
            CloseHandle(handle);
    }
    return file;
}

// A user.ini that is there but cannot be opened is never taken for a first
// run: the setup would overwrite it. The program ends with the file
// untouched and a box that names it (with its drive: the user is to find
// it) and why: it is owner-only, so access denied is another Windows
// user's file in a folder they share; anything else (held without sharing
// by a sync client, a backup or a virus scan) in what Windows said.
int unopened(HWND owner, const char* file_name, DWORD error)
{
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(file_name, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH)
        lstrcpynA(full, file_name, MAX_PATH);
    char said[256];
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, said,
                       sizeof said, nullptr) == 0)
        wsprintfA(said, "0x%08lX", static_cast<unsigned long>(error));
    char text[MAX_PATH + sizeof said + 200];
    wsprintfA(text,
              error == ERROR_ACCESS_DENIED
                  ? "%s\r\nは別のWindowsユーザーの設定ファイルのため、開くことも書き換えることもできません。"
                    "このユーザーで使うには、Quillbeamを別のフォルダーに置いてください。"
                  : "%s\r\nを開けませんでした。\r\n%s\r\n"
                    "ほかのプログラムが使用中のときは、終わるのを待ってからQuillbeamを起動し直してください。",
              full, said);
    MessageBoxA(owner, text, "Error", MB_OK | MB_ICONERROR);
    return 0;
}

// Only these mean that there is no user.ini: a first run.
bool not_there(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Another program's hold is often a moment's (a scan): a few tries first.
constexpr int OPEN_TRIES = 10;
constexpr DWORD OPEN_RETRY_MS = 100;

} // namespace

int load_settings(HWND owner)
{
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length == 0 || length >= sizeof directory) {
        // No usable directory: settings_path stays empty, so the file is
        // not found and a later save reports its error.
        directory[0] = '\0';
        settings_path[0] = '\0';
    } else {
        to_program_path(directory);
        join_settings_path(directory, settings_path, sizeof settings_path);
    }

    char file_name[SETTINGS_PATH_SIZE];
    to_windows_path(settings_path, file_name, sizeof file_name);
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (int tries = 0; file_name[0] != '\0' && tries < OPEN_TRIES; ++tries) {
        if (tries > 0)
            Sleep(OPEN_RETRY_MS);
        handle = CreateFileA(file_name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION)
            break;
    }
    if (handle == INVALID_HANDLE_VALUE && !not_there(error)) {
        const DWORD attributes = GetFileAttributesA(file_name);   // a folder by that name is refused too
        const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!folder)
            return unopened(owner, file_name, error);
    }
    FILE* file = handle != INVALID_HANDLE_VALUE ? stream_of(handle, _O_RDONLY, "rb") : nullptr;
    if (handle != INVALID_HANDLE_VALUE && file == nullptr)
        return unopened(owner, file_name, ERROR_NOT_ENOUGH_MEMORY);   // the handle, not the file, failed
    if (file == nullptr) {
        // First run: the setup dialog fills and saves the record (where
        // something else is in the way, the save says so and loses
        // nothing). A dialog that cannot even be created (-1) ends the
        // program like a cancel.
        INT_PTR result = DialogBoxParamA(module_instance, "STARTUPDIALOG", owner,
                                         setup_dialog_proc, 0);
        return result > 0 ? 1 : 0;
    }
    read_settings_stream(file, &user_settings);
    fclose(file);
    return 1;
}

int save_settings(HWND owner)
{
    // The six lines go to a file beside user.ini first; only a complete
    // file replaces the old one, so a failed write never costs the user
    // their settings.
    char file_name[SETTINGS_PATH_SIZE];
    char temp_path[SETTINGS_PATH_SIZE + 8];
    to_windows_path(settings_path, file_name, sizeof file_name);
    if (file_name[0] == '\0')
        return save_failed(owner, "");
    // A user who made their settings read-only wants them kept as they are.
    DWORD old_attributes = GetFileAttributesA(file_name);
    bool had_file = old_attributes != INVALID_FILE_ATTRIBUTES
        && !(old_attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (had_file && (old_attributes & FILE_ATTRIBUTE_READONLY))
        return save_failed(owner, "");
    wsprintfA(temp_path, "%s.new", file_name);
    SetFileAttributesA(temp_path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(temp_path);

    // It holds the password: owner-only from its first moment.
    HANDLE handle = create_owner_only(temp_path, "user.ini");
    FILE* file = handle != INVALID_HANDLE_VALUE ? stream_of(handle, _O_WRONLY, "wb") : nullptr;
    if (file == nullptr)
        return save_failed(owner, temp_path);
    int written = write_settings_stream(file, &user_settings);
    if (fclose(file) != 0 || !written)
        return save_failed(owner, temp_path);
    SetFileAttributesA(temp_path, FILE_ATTRIBUTE_HIDDEN);

    // A hidden user.ini refuses to be replaced: lift that alone, and put it
    // back if the replacement fails.
    bool lifted = had_file && (old_attributes & FILE_ATTRIBUTE_HIDDEN);
    if (lifted) {
        DWORD shown = old_attributes & ~FILE_ATTRIBUTE_HIDDEN;
        SetFileAttributesA(file_name, shown != 0 ? shown : FILE_ATTRIBUTE_NORMAL);
    }
    if (!MoveFileExA(temp_path, file_name,
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (lifted)
            SetFileAttributesA(file_name, old_attributes);
        return save_failed(owner, temp_path);
    }
    return 1;
}
