#include "tests/support/test_files.h"

#include <windows.h>

#include <stdio.h>

std::string read_file_bytes(const std::string& path)
{
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return bytes;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    fclose(file);
    return bytes;
}

bool write_file_bytes(const std::string& path, const std::string& bytes)
{
    remove_file(path);
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

std::string program_path_of(const std::string& windows_path)
{
    std::string form = windows_path.substr(2);
    for (char& c : form)
        if (c == '\\')
            c = '/';
    return form;
}

void remove_file(const std::string& path)
{
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

static void remove_tree(const std::string& folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = folder + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(path);
            else
                remove_file(path);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(folder.c_str());
}

std::string make_scratch_folder(const std::string& name)
{
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    std::string folder = std::string(base) + "quillbeam-" + name;
    remove_tree(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

KeptFile keep_file(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    bool existed = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    return KeptFile{path, existed, existed ? read_file_bytes(path) : std::string(), attributes};
}

void put_back(const KeptFile& kept)
{
    remove_file(kept.path);
    if (kept.existed && write_file_bytes(kept.path, kept.bytes))
        SetFileAttributesA(kept.path.c_str(), kept.attributes);
}

std::string beside_this_program(const std::string& relative)
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string program(path, length);
    return program.substr(0, program.find_last_of('\\') + 1) + relative;
}

std::string tls_folder()
{
    std::string tls = beside_this_program("tls");
    if (GetFileAttributesA(tls.c_str()) == INVALID_FILE_ATTRIBUTES)
        tls = beside_this_program("..\\win32\\tls");
    return tls;
}

std::string tls_maildir(const char* address)
{
    return tls_folder() + "\\" + address + "\\mail\\poptest\\Maildir\\";
}

namespace {

// A Unix path from the environment as Wine's Z: drive names it.
std::string unix_path_from(const char* variable)
{
    char path[MAX_PATH] = "";
    GetEnvironmentVariableA(variable, path, sizeof path);
    std::string windows = std::string("Z:") + path;
    for (char& c : windows)
        if (c == '/')
            c = '\\';
    return windows;
}

} // namespace

std::string test_registration(const char* host, const char* client_id)
{
    return std::string("[") + host + "]\r\nauthorize_url=http://127.0.0.51/authorize\r\n"
        + "token_url=http://127.0.0.51/token\r\nclient_id=" + client_id + "\r\n";
}

void use_test_browser(const char* mode)
{
    char script[MAX_PATH] = "";
    GetEnvironmentVariableA("QB_TEST_BROWSER", script, sizeof script);
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\WineBrowser", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(key, "Browsers", 0, REG_SZ, reinterpret_cast<const BYTE*>(script), lstrlenA(script) + 1);
        RegCloseKey(key);
    }
    const std::string log = unix_path_from("QB_BROWSER_LOG");
    write_file_bytes(log + ".mode", mode);
    DeleteFileA(log.c_str());
}

std::string browser_log(const std::string& seen, unsigned long wait_ms)
{
    const std::string log = unix_path_from("QB_BROWSER_LOG");
    const DWORD end = GetTickCount() + wait_ms;
    std::string text = read_file_bytes(log);
    while (text.find(seen) == std::string::npos && static_cast<LONG>(end - GetTickCount()) > 0) {
        Sleep(100);
        text = read_file_bytes(log);
    }
    return text;
}
