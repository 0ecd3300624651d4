#include "signin/token_store.h"

#include <string.h>
#include <wincrypt.h>

#include "settings/owner_only_file.h"

namespace {

constexpr char FILE_NAME[] = "signin.dat";
// The three texts, each ended by a NUL, before protection.
constexpr size_t PLAIN_SIZE = 2 * SETTING_TEXT_SIZE + TOKEN_SIZE;
// DPAPI adds a header and a MAC of a few hundred bytes.
constexpr DWORD FILE_LIMIT = PLAIN_SIZE + 2048;

// Copies the NUL-ended text at *at into out: false when it runs past end or out.
bool take_text(const char** at, const char* end, char* out, size_t size)
{
    const size_t length = strnlen(*at, static_cast<size_t>(end - *at));
    if (*at + length >= end || length >= size)
        return false;
    memcpy(out, *at, length + 1);
    *at += length + 1;
    return true;
}

} // namespace

bool path_beside_settings(const char* name, char* out, size_t size)
{
    char settings[SETTINGS_PATH_SIZE];
    to_windows_path(settings_path, settings, sizeof settings);
    const char* slash = strrchr(settings, '\\');
    const size_t folder = slash != nullptr ? static_cast<size_t>(slash - settings + 1) : 0;
    if (settings[0] == '\0' || folder + strlen(name) + 1 > size)
        return false;
    memcpy(out, settings, folder);
    strcpy(out + folder, name);
    return true;
}

bool load_signin(StoredSignin* out)
{
    char path[SETTINGS_PATH_SIZE];
    if (!path_beside_settings(FILE_NAME, path, sizeof path))
        return false;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    static BYTE sealed[FILE_LIMIT];
    DWORD length = 0;
    const BOOL read = ReadFile(file, sealed, sizeof sealed, &length, nullptr);
    CloseHandle(file);
    DATA_BLOB in = {length, sealed};
    DATA_BLOB plain = {};
    if (!read || length == 0 || length == sizeof sealed
        || !CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &plain))
        return false;
    const char* at = reinterpret_cast<const char*>(plain.pbData);
    const char* end = at + plain.cbData;
    const bool whole = take_text(&at, end, out->server, sizeof out->server)
        && take_text(&at, end, out->account, sizeof out->account)
        && take_text(&at, end, out->refresh_token, sizeof out->refresh_token);
    SecureZeroMemory(plain.pbData, plain.cbData);
    LocalFree(plain.pbData);
    return whole;
}

bool save_signin(const StoredSignin& signin)
{
    char path[SETTINGS_PATH_SIZE];
    char temp[SETTINGS_PATH_SIZE + 8];
    if (!path_beside_settings(FILE_NAME, path, sizeof path))
        return false;
    wsprintfA(temp, "%s.new", path);
    static char plain[PLAIN_SIZE];
    size_t length = 0;
    const char* const texts[] = {signin.server, signin.account, signin.refresh_token};
    for (const char* text : texts) {
        const size_t size = strlen(text) + 1;
        memcpy(plain + length, text, size);
        length += size;
    }
    DATA_BLOB in = {static_cast<DWORD>(length), reinterpret_cast<BYTE*>(plain)};
    DATA_BLOB sealed = {};
    const BOOL protected_ = CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr,
                                             CRYPTPROTECT_UI_FORBIDDEN, &sealed);
    SecureZeroMemory(plain, length);
    if (!protected_)
        return false;
    HANDLE file = create_owner_only(temp, FILE_NAME);
    DWORD written = 0;
    bool saved = file != INVALID_HANDLE_VALUE && WriteFile(file, sealed.pbData, sealed.cbData, &written, nullptr)
        && written == sealed.cbData;
    LocalFree(sealed.pbData);
    if (file != INVALID_HANDLE_VALUE)
        saved = CloseHandle(file) && saved;
    saved = saved && MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!saved)
        DeleteFileA(temp);
    return saved;
}

void forget_signin()
{
    char path[SETTINGS_PATH_SIZE];
    if (path_beside_settings(FILE_NAME, path, sizeof path))
        DeleteFileA(path);
}
