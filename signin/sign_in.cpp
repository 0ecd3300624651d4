#include "signin/sign_in.h"

#include <stddef.h>
#include <string.h>
#include <winhttp.h>

#include "settings/cp932_text.h"
#include "signin/token_store.h"

namespace {

// Held by whoever reads or refreshes the token, the stored one included.
SRWLOCK token_lock = SRWLOCK_INIT;
// The access token of this run, in memory only, and whom it is for.
char access_token[TOKEN_SIZE];
char access_server[SETTING_TEXT_SIZE];
char access_account[SETTING_TEXT_SIZE];
ULONGLONG access_renew_at;   // GetTickCount64: refresh from then on

// Scratch of a refresh, all under the lock.
StoredSignin stored;
char form[3 * TOKEN_SIZE + 2 * OAUTH_TEXT_SIZE + 256];
constexpr size_t ANSWER_SIZE = 16384;
char answer_text[ANSWER_SIZE];
TokenAnswer answer;

constexpr char OAUTH_INI[] = "oauth.ini";

// oauth.ini's keys and where they go.
struct Key {
    const char* name;
    size_t offset;
    size_t size;
};
#define KEY(field) {#field, offsetof(OAuthSetup, field), sizeof OAuthSetup::field}
const Key KEYS[] = {KEY(client_id), KEY(client_secret), KEY(tenant), KEY(authorize_url), KEY(token_url), KEY(scope)};
#undef KEY

DWORD time_left(DWORD deadline)
{
    const LONG left = static_cast<LONG>(deadline - GetTickCount());
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// The form posted to url: the answer's HTTP status with its body in
// answer_text (terminated, *length bytes), or 0 when the service could not
// be reached by deadline. Redirects are not followed: the refresh token goes
// to the endpoint named and nowhere else.
DWORD post_form(const char* url, DWORD deadline, size_t* length)
{
    wchar_t wide[OAUTH_URL_SIZE];
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = static_cast<DWORD>(-1);
    // No time left is no request: WinHTTP takes a time-out of 0 for none at all.
    const int left = static_cast<int>(time_left(deadline));
    if (left == 0 || MultiByteToWideChar(CP_ACP, 0, url, -1, wide, OAUTH_URL_SIZE) == 0
        || !WinHttpCrackUrl(wide, 0, 0, &parts) || parts.dwHostNameLength >= 256)
        return 0;
    wchar_t host[256];
    lstrcpynW(host, parts.lpszHostName, static_cast<int>(parts.dwHostNameLength) + 1);
    DWORD status = 0;
    HINTERNET session = WinHttpOpen(L"Quillbeam", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    if (session != nullptr) {
        // Windows 7 offers TLS 1.2 only when asked; the providers want it.
        DWORD protocols = 0;
        DWORD size = sizeof protocols;
        WinHttpQueryOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, &size);
        protocols |= WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
        WinHttpSetTimeouts(session, left, left, left, left);
        connection = WinHttpConnect(session, host, parts.nPort, 0);
    }
    if (connection != nullptr)
        request = WinHttpOpenRequest(connection, L"POST", parts.lpszUrlPath, nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    const DWORD form_length = static_cast<DWORD>(strlen(form));
    if (request != nullptr
        && WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects)
        && WinHttpSendRequest(request, L"Content-Type: application/x-www-form-urlencoded\r\n",
                              static_cast<DWORD>(-1), form, form_length, form_length, 0)
        && WinHttpReceiveResponse(request, nullptr)) {
        DWORD size = sizeof status;
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            status = 0;
        *length = 0;
        for (DWORD got = 1; status != 0 && got > 0 && *length < ANSWER_SIZE - 1; *length += got) {
            got = 0;
            if (time_left(deadline) == 0
                || !WinHttpReadData(request, answer_text + *length, static_cast<DWORD>(ANSWER_SIZE - 1 - *length),
                                    &got))
                status = 0;
        }
        answer_text[*length] = '\0';
    }
    const HINTERNET handles[] = {request, connection, session};
    for (HINTERNET handle : handles)
        if (handle != nullptr)
            WinHttpCloseHandle(handle);
    return status;
}

bool same(const char* a, const char* b) { return lstrcmpA(a, b) == 0; }

// Asks the token endpoint with form (the grant's own fields; the client's
// and the scope are added here); a token is kept: the refresh token the
// provider returned stored with whom it is for (Microsoft hands out a new
// one at every use, and the old one may stop working at once), the access
// token in memory. Under the lock.
SigninError ask_token(const SigninFor& who, const OAuthSetup& setup, DWORD deadline)
{
    bool fits = form_add(form, sizeof form, "client_id", setup.client_id)
        && form_add(form, sizeof form, "scope", setup.scope);
    if (setup.client_secret[0] != '\0')
        fits = fits && form_add(form, sizeof form, "client_secret", setup.client_secret);
    size_t length = 0;
    const DWORD status = fits ? post_form(setup.token_url, deadline, &length) : 0;
    SecureZeroMemory(form, sizeof form);
    if (status == 0)
        return fits ? SigninError::network : SigninError::refused;
    read_token_answer(answer_text, length, &answer);
    if (answer.error != SigninError::none)
        return answer.error;
    if (answer.refresh_token[0] != '\0') {
        copy_text(stored.server, sizeof stored.server, who.server);
        copy_text(stored.account, sizeof stored.account, who.account);
        copy_text(stored.refresh_token, sizeof stored.refresh_token, answer.refresh_token);
        if (!save_signin(stored))
            OutputDebugStringA("Quillbeam: the sign-in could not be saved\n");
    }
    copy_text(access_token, sizeof access_token, answer.access_token);
    copy_text(access_server, sizeof access_server, who.server);
    copy_text(access_account, sizeof access_account, who.account);
    // Renewed a few minutes before its end (a quarter of a short life).
    const ULONGLONG life = answer.expires_in > 0 ? static_cast<ULONGLONG>(answer.expires_in) : 3600;
    const ULONGLONG margin = life / 4 < 300 ? life / 4 : 300;
    access_renew_at = GetTickCount64() + (life - margin) * 1000;
    return SigninError::none;
}

// A new access token through the stored refresh token.
SigninError refresh(const SigninFor& who, DWORD deadline)
{
    if (!load_signin(&stored) || !same(stored.server, who.server) || !same(stored.account, who.account))
        return SigninError::not_signed_in;
    OAuthSetup setup;
    const SigninError unusable = signin_setup(who, &setup);
    if (unusable != SigninError::none)
        return unusable;
    form[0] = '\0';
    const SigninError error = form_add(form, sizeof form, "grant_type", "refresh_token")
            && form_add(form, sizeof form, "refresh_token", stored.refresh_token)
        ? ask_token(who, setup, deadline)
        : SigninError::refused;
    if (error == SigninError::expired)
        forget_signin();   // dead for good: nothing asks with it again
    return error;
}

} // namespace

SigninError signin_setup(const SigninFor& who, OAuthSetup* setup)
{
    *setup = {};
    char path[SETTINGS_PATH_SIZE];
    if (path_beside_settings(OAUTH_INI, path, sizeof path))
        for (const Key& key : KEYS)
            GetPrivateProfileStringA(who.host, key.name, "", reinterpret_cast<char*>(setup) + key.offset,
                                     static_cast<DWORD>(key.size), path);
    complete_setup(known_provider(who.host), who.imap, setup);
    if (setup->client_id[0] == '\0')
        return SigninError::no_client_id;
    // No code or token ever goes out in clear but to this computer.
    return acceptable_endpoint(setup->token_url) && acceptable_endpoint(setup->authorize_url) ? SigninError::none
                                                                                             : SigninError::refused;
}

SigninError signin_exchange_code(const SigninFor& who, const OAuthSetup& setup, const char* code,
                                 const char* verifier, const char* redirect, DWORD deadline)
{
    AcquireSRWLockExclusive(&token_lock);
    form[0] = '\0';
    const SigninError error = form_add(form, sizeof form, "grant_type", "authorization_code")
            && form_add(form, sizeof form, "code", code) && form_add(form, sizeof form, "code_verifier", verifier)
            && form_add(form, sizeof form, "redirect_uri", redirect)
        ? ask_token(who, setup, deadline)
        : SigninError::refused;
    ReleaseSRWLockExclusive(&token_lock);
    return error;
}

bool signin_stored_for(const char* server, const char* account)
{
    AcquireSRWLockExclusive(&token_lock);
    const bool found = load_signin(&stored) && same(stored.server, server) && same(stored.account, account);
    ReleaseSRWLockExclusive(&token_lock);
    return found;
}

bool signin_host(const char* host)
{
    if (known_provider(host) != Provider::other)
        return true;
    char path[SETTINGS_PATH_SIZE];
    char keys[16];
    return path_beside_settings(OAUTH_INI, path, sizeof path)
        && GetPrivateProfileStringA(host, nullptr, "", keys, sizeof keys, path) > 0;
}

SigninError signin_access_token(const SigninFor& who, DWORD deadline, char* token, ULONGLONG* renew_at)
{
    AcquireSRWLockExclusive(&token_lock);
    SigninError error = SigninError::none;
    if (access_token[0] == '\0' || GetTickCount64() >= access_renew_at || !same(access_server, who.server)
        || !same(access_account, who.account)) {
        access_token[0] = '\0';
        error = refresh(who, deadline);
    }
    if (error == SigninError::none)
        copy_text(token, TOKEN_SIZE, access_token);
    if (renew_at != nullptr)
        *renew_at = access_renew_at;
    ReleaseSRWLockExclusive(&token_lock);
    return error;
}

void signin_drop_access_token()
{
    AcquireSRWLockExclusive(&token_lock);
    access_token[0] = '\0';
    ReleaseSRWLockExclusive(&token_lock);
}

const char* signin_error_text(SigninError error)
{
    switch (error) {
    case SigninError::denied:
        return "サインインが取り消されたか、拒否されました";
    case SigninError::admin_approval:
        return "このプログラムには組織の管理者の承認が必要です";
    case SigninError::work_account_only:
        return "職場または学校のアカウントでサインインしてください";
    case SigninError::network:
        return "サインインのサービスに接続できませんでした";
    case SigninError::expired:
        return "サインインが期限切れか取り消されました。設定画面のOKでもう一度サインインしてください";
    case SigninError::no_client_id:
        return "このサーバーのクライアントIDがありません（oauth.iniで設定できます）";
    case SigninError::not_signed_in:
        return "サインインしていません。設定画面のOKでサインインしてください";
    case SigninError::gave_up:
        return "10分経ってもサインインが終わらないため中止しました";
    default:
        return "サインインのサービスがトークンを発行しませんでした";
    }
}
