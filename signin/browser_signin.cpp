#include "signin/browser_signin.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <bcrypt.h>
#include <shellapi.h>
#include <string.h>

#include <objbase.h>

#include "resources/resource.h"
#include "settings/cp932_text.h"
#include "settings/user_settings.h"

DWORD signin_give_up_ms = 10 * 60 * 1000;

namespace {

constexpr UINT WM_SIGNIN_DONE = WM_APP + 1;
// A connection that sends nothing (a browser's speculative one) is dropped
// after this; a request is read up to REQUEST_LIMIT bytes.
constexpr DWORD QUIET_REQUEST_MS = 3000;
constexpr int REQUEST_LIMIT = 4096;
// The code's exchange for tokens, while the browser waits for its page.
constexpr DWORD EXCHANGE_MS = 20000;

// One sign-in at a time; its own copies of whom it is for, since the
// browser's thread works with them.
struct Flow {
    char server[SETTING_TEXT_SIZE];
    char host[SETTING_TEXT_SIZE];
    char account[SETTING_TEXT_SIZE];
    SigninFor who;
    OAuthSetup setup;
    char verifier[48];
    char state[32];
    char redirect[40];
    char address[3 * OAUTH_URL_SIZE];
    SOCKET listeners[2];
    int listening;
    HANDLE accept_event;   // auto reset: a connection is waiting
    HANDLE cancel;         // manual reset
    HWND window;
    SigninError result;
};
Flow flow;
Redirect redirect_seen;
char request[REQUEST_LIMIT + 1];

// What the browser shows at the end: never the code or a token.
const char PAGE_HEAD[] = "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=shift_jis\r\nConnection: close\r\n\r\n"
                         "<!DOCTYPE html><meta charset=shift_jis><title>Quillbeam</title><p>";
const char PAGE_DONE[] = "サインインが終わりました。このタブは閉じてかまいません。";
const char PAGE_FAILED[] = "サインインできませんでした。理由はQuillbeamの画面に表示されます。";
const char NOT_THIS[] = "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// count random bytes as base64url text. (Windows 7's bcrypt on: before it,
// WinHTTP spoke no TLS 1.2, which every provider's token endpoint wants.)
bool random_text(char* out, size_t capacity, ULONG count)
{
    BYTE random[32];
    return BCryptGenRandom(nullptr, random, count, BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0
        && base64_encode(random, count, out, capacity, true) != 0;
}

// PKCE's S256: base64url of the verifier's SHA-256.
bool challenge_of(const char* verifier, char* out, size_t capacity)
{
    BCRYPT_ALG_HANDLE sha;
    if (BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    BYTE digest[32];
    const bool hashed = BCryptCreateHash(sha, &hash, nullptr, 0, nullptr, 0, 0) == 0
        && BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(verifier)), lstrlenA(verifier), 0) == 0
        && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(sha, 0);
    return hashed && base64_encode(digest, sizeof digest, out, capacity, true) != 0;
}

// 127.0.0.1 at a port Windows picks, and ::1 at the same port where it can
// be had: never another interface, so no firewall asks.
bool listen_on_loopback(Flow* f)
{
    sockaddr_in v4 = {};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof v4;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    f->listeners[f->listening++] = s;
    if (bind(s, reinterpret_cast<sockaddr*>(&v4), sizeof v4) != 0 || listen(s, 4) != 0
        || getsockname(s, reinterpret_cast<sockaddr*>(&v4), &length) != 0)
        return false;
    sockaddr_in6 v6 = {};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = v4.sin_port;
    const SOCKET s6 = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s6 != INVALID_SOCKET) {
        if (bind(s6, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0 && listen(s6, 4) == 0)
            f->listeners[f->listening++] = s6;
        else
            closesocket(s6);
    }
    for (int i = 0; i < f->listening; ++i)
        WSAEventSelect(f->listeners[i], f->accept_event, FD_ACCEPT);
    wsprintfA(f->redirect, "http://localhost:%u/", static_cast<unsigned>(ntohs(v4.sin_port)));
    return true;
}

void send_text(SOCKET client, const char* text) { send(client, text, lstrlenA(text), 0); }

// One request read and answered; true when it ended the sign-in (into
// f->result), false when it was not the sign-in's (answered 400).
bool serve(Flow* f, SOCKET client)
{
    WSAEventSelect(client, nullptr, 0);
    u_long blocking = 0;
    ioctlsocket(client, FIONBIO, &blocking);
    const DWORD quiet = QUIET_REQUEST_MS;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&quiet), sizeof quiet);
    int length = 0;
    request[0] = '\0';
    while (length < REQUEST_LIMIT && strstr(request, "\r\n\r\n") == nullptr) {
        const int got = recv(client, request + length, REQUEST_LIMIT - length, 0);
        if (got <= 0)
            break;
        length += got;
        request[length] = '\0';
    }
    read_redirect(request, f->state, &redirect_seen);
    bool ended = redirect_seen.kind != Redirect::other;
    if (!ended) {
        send_text(client, NOT_THIS);
    } else {
        f->result = redirect_seen.kind == Redirect::with_error
            ? redirect_seen.error
            : signin_exchange_code(f->who, f->setup, redirect_seen.code, f->verifier, f->redirect,
                                   GetTickCount() + EXCHANGE_MS);
        SecureZeroMemory(&redirect_seen, sizeof redirect_seen);
        send_text(client, PAGE_HEAD);
        send_text(client, f->result == SigninError::none ? PAGE_DONE : PAGE_FAILED);
    }
    SecureZeroMemory(request, sizeof request);
    shutdown(client, SD_SEND);
    closesocket(client);
    return ended;
}

// The browser's side, off the window thread: connections until the
// redirect with the state came, Cancel, or the give-up time.
DWORD WINAPI wait_for_browser(void*)
{
    Flow* f = &flow;
    const HANDLE events[] = {f->cancel, f->accept_event};
    const DWORD give_up_at = GetTickCount() + signin_give_up_ms;
    f->result = SigninError::gave_up;
    for (bool ended = false; !ended;) {
        const LONG left = static_cast<LONG>(give_up_at - GetTickCount());
        const DWORD woke = left > 0 ? WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(left)) : WAIT_TIMEOUT;
        if (woke != WAIT_OBJECT_0 + 1) {
            if (woke == WAIT_OBJECT_0)
                f->result = SigninError::cancelled;
            break;
        }
        for (int i = 0; i < f->listening && !ended; ++i) {
            const SOCKET client = accept(f->listeners[i], nullptr, nullptr);
            ended = client != INVALID_SOCKET && serve(f, client);
        }
    }
    PostMessageA(f->window, WM_SIGNIN_DONE, 0, 0);
    return 0;
}

// The small window: the browser is open; its address to copy when no
// browser could be started; Cancel. It ends when the browser's side does.
INT_PTR CALLBACK signin_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        flow.window = dialog;
        HANDLE thread = CreateThread(nullptr, 0, wait_for_browser, nullptr, 0, nullptr);
        if (thread == nullptr) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(thread));
        SetDlgItemTextA(dialog, IDC_SIGNIN_ADDRESS, flow.address);
        // The user's own browser; COM for the shell's handlers of the address.
        const HRESULT com = CoInitialize(nullptr);
        const bool opened = reinterpret_cast<INT_PTR>(ShellExecuteA(dialog, "open", flow.address, nullptr, nullptr,
                                                                     SW_SHOWNORMAL)) > 32;
        if (SUCCEEDED(com))
            CoUninitialize();
        if (!opened) {
            SetDlgItemTextA(dialog, IDC_SIGNIN_LABEL, "ブラウザーが開きません。このアドレスを開いてください：");
            ShowWindow(GetDlgItem(dialog, IDC_SIGNIN_ADDRESS), SW_SHOW);
        }
        return TRUE;
    }
    case WM_SIGNIN_DONE: {
        // The thread's last act was the post: its end is at hand.
        HANDLE thread = reinterpret_cast<HANDLE>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        EndDialog(dialog, 1);
        return TRUE;
    }
    case WM_CLOSE:
        SetEvent(flow.cancel);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_CANCEL_BUTTON || LOWORD(wparam) == IDCANCEL)
            SetEvent(flow.cancel);   // the browser's side ends, then the window
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

SigninError sign_in_with_browser(HWND owner, const SigninFor& who)
{
    Flow* f = &flow;
    copy_text(f->server, sizeof f->server, who.server);
    copy_text(f->host, sizeof f->host, who.host);
    copy_text(f->account, sizeof f->account, who.account);
    f->who = {f->server, f->host, f->account, who.imap};
    SigninError error = signin_setup(f->who, &f->setup);
    if (error != SigninError::none)
        return error;
    f->listening = 0;
    f->result = SigninError::refused;
    f->accept_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    f->cancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char challenge[48];
    if (f->accept_event != nullptr && f->cancel != nullptr && random_text(f->verifier, sizeof f->verifier, 32)
        && random_text(f->state, sizeof f->state, 16) && challenge_of(f->verifier, challenge, sizeof challenge)
        && listen_on_loopback(f)
        && authorize_address(f->setup, f->redirect, f->state, challenge, f->account, f->address, sizeof f->address))
        DialogBoxParamA(GetModuleHandleA(nullptr), "SIGNINDIALOG", owner, signin_dialog_proc, 0);
    for (int i = 0; i < f->listening; ++i)
        closesocket(f->listeners[i]);
    const HANDLE events[] = {f->accept_event, f->cancel};
    for (HANDLE event : events)
        if (event != nullptr)
            CloseHandle(event);
    SecureZeroMemory(f->verifier, sizeof f->verifier);
    return f->result;
}
