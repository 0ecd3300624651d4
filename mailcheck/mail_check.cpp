#include "mailcheck/mail_check.h"

#include <string.h>

#include "mailcheck/mail_channel.h"
#include "mailcheck/pop3_reply.h"
#include "mailcheck/server_address.h"
#include "settings/user_settings.h"
#include "shell/shell.h"
#include "tray/tray.h"

SOCKET mail_socket = INVALID_SOCKET;
DWORD mail_reply_time_ms = 30000;
DWORD mail_check_time_ms = 60000;

namespace {

// Received bytes not yet taken by a reply: a reply is complete only at its
// LF, and whatever came after it belongs to the next one.
char receive_buffer[REPLY_BUFFER_SIZE - 1];
int receive_begin;
int receive_end;
ReplyLine reply;
// The whole check ends by check_deadline; a reply must be whole by
// reply_deadline, which is never later: a server that drips bytes without
// a line end would otherwise hold the program in recv for good.
DWORD check_deadline;
DWORD reply_deadline;
// The failed step and the system's code, for the debug line.
const char* failed_step;
unsigned long failed_code;

// Now plus `time`, but no later than the end of the whole check.
DWORD bounded_deadline(DWORD time)
{
    DWORD deadline = GetTickCount() + time;
    return static_cast<LONG>(deadline - check_deadline) > 0 ? check_deadline : deadline;
}

void start_reply_clock() { reply_deadline = bounded_deadline(mail_reply_time_ms); }

// Every failure closes the socket before its box is shown: while the box is
// open the settings dialog may start a new check, which needs the socket
// variable for itself.
void close_mail_socket()
{
    channel_close();
    if (mail_socket != INVALID_SOCKET) {
        closesocket(mail_socket);
        mail_socket = INVALID_SOCKET;
    }
}

// The box is the user's words; what a support person needs (the step and
// the system's code) goes to the debugger's output, one line a failure.
// The text is copied first: server text is shown as it is, never used as a
// format, and a check nested in the box's message loop reuses the buffers.
int show_error(HWND owner, const char* text)
{
    char shown[REPLY_BUFFER_SIZE];
    lstrcpynA(shown, text, sizeof shown);
    char line[128];
    wsprintfA(line, "Quillbeam: check failed at %s, code 0x%08lX\n",
              failed_step != nullptr ? failed_step : "the server's reply", failed_code);
    OutputDebugStringA(line);
    close_mail_socket();
    MessageBoxA(owner, shown, "Error", MB_OK | MB_ICONERROR);
    return 0;
}

const char* tls_failure_text(TlsFailure failure)
{
    switch (failure) {
    case TlsFailure::not_tls:
        return "サーバーはこのポートでTLSを使っていません";
    case TlsFailure::untrusted:
        return "サーバー証明書の発行元が信頼されていません";
    case TlsFailure::name_mismatch:
        return "サーバー証明書の名前がPOPサーバー名と一致しません";
    case TlsFailure::expired:
        return "サーバー証明書の有効期限が切れています";
    case TlsFailure::not_yet_valid:
        return "サーバー証明書はまだ有効になっていません（パソコンの日付と時刻を確認してください）";
    case TlsFailure::revoked:
        return "サーバー証明書は失効しています";
    default:
        return "TLSの接続に失敗しました";
    }
}

// A receive that failed: the user's words for why. A renewed handshake
// whose certificate was refused is named like the first one's.
int receive_failed(HWND owner, const char* text)
{
    TlsFailure failure = channel_failure();
    return show_error(owner, failure != TlsFailure::none ? tls_failure_text(failure) : text);
}

// Reads one whole reply line into `reply`; 0 when the peer closed or failed,
// the deadline passed or the line grew past any reply's length first.
int receive_reply_line()
{
    reply_line_reset(&reply);
    while (!reply.complete) {
        if (reply_line_too_long(&reply))
            return 0;
        if (receive_begin == receive_end) {
            int received = channel_receive(receive_buffer, sizeof receive_buffer, reply_deadline);
            if (received <= 0)
                return 0;
            receive_begin = 0;
            receive_end = received;
        }
        receive_begin += static_cast<int>(reply_line_feed(
            &reply, receive_buffer + receive_begin,
            static_cast<size_t>(receive_end - receive_begin)));
    }
    return 1;
}

const hostent* resolve_server(const char* name)
{
    const hostent* host = gethostbyname(name);
    if (host == nullptr) {
        unsigned long address = inet_addr(name);
        host = gethostbyaddr(reinterpret_cast<const char*>(&address), 4, AF_INET);
    }
    if (host == nullptr)
        note_failure("resolve", static_cast<unsigned long>(WSAGetLastError()));
    else if (host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list[0] == nullptr)
        host = nullptr;
    return host;
}

// 1 when the connect finished (or failed) within timeout_ms.
int connect_within(const sockaddr_in& address, DWORD timeout_ms)
{
    u_long non_blocking = 1;
    ioctlsocket(mail_socket, FIONBIO, &non_blocking);
    int connected = connect(mail_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    unsigned long error = connected ? 0 : static_cast<unsigned long>(WSAGetLastError());
    if (error == WSAEWOULDBLOCK) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(mail_socket, &writable);
        FD_SET(mail_socket, &failed);
        timeval wait = {static_cast<long>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000};
        int soft_error = 0;
        int length = sizeof soft_error;
        // In the failed set: the socket's pending error says why; else connected.
        if (select(0, nullptr, &writable, &failed, &wait) <= 0) {
            error = WSAETIMEDOUT;
        } else if (!(connected = !FD_ISSET(mail_socket, &failed))) {
            getsockopt(mail_socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soft_error), &length);
            error = static_cast<unsigned long>(soft_error);
        }
    }
    u_long blocking = 0;
    ioctlsocket(mail_socket, FIONBIO, &blocking);
    if (!connected)
        note_failure("connect", error);
    return connected;
}

// Each address the name resolved to in turn, each within its share of
// what is left of the connect time: one address that drops the SYN leaves
// time for the next. 1 with mail_socket connected, else 0 after the box.
int connect_server(HWND owner, const hostent* host, uint16_t port, sockaddr_in* connected)
{
    const DWORD deadline = bounded_deadline(mail_reply_time_ms);
    int count = 0;
    while (host->h_addr_list[count] != nullptr)
        ++count;
    for (int i = 0; i < count; ++i) {
        LONG left = static_cast<LONG>(deadline - GetTickCount());
        if (left <= 0)
            break;
        mail_socket = socket(AF_INET, SOCK_STREAM, 0);
        if (mail_socket == INVALID_SOCKET) {
            note_failure("socket", static_cast<unsigned long>(WSAGetLastError()));
            return show_error(owner, "Mail socket open error");
        }
        memset(connected, 0, sizeof *connected);
        connected->sin_family = AF_INET;
        connected->sin_port = htons(port);
        memcpy(&connected->sin_addr, host->h_addr_list[i], sizeof connected->sin_addr);
        if (connect_within(*connected, static_cast<DWORD>(left) / static_cast<DWORD>(count - i)))
            return 1;
        closesocket(mail_socket);
        mail_socket = INVALID_SOCKET;
    }
    return show_error(owner, "Mail connect error");
}

// The handshake and the certificate's judgement, each failure named for
// the user. Nothing of the login leaves before this has succeeded.
int start_tls(HWND owner, const ServerAddress& server, const sockaddr_in& connected)
{
    start_reply_clock();
    TlsFailure failure = channel_start_tls(is_dotted_ipv4(server.name) ? nullptr : server.name,
                                           connected.sin_addr.s_addr, reply_deadline);
    start_reply_clock();   // for the reply that follows
    return failure == TlsFailure::none ? 1 : show_error(owner, tls_failure_text(failure));
}

} // namespace

int start_network(HWND owner)
{
    WSADATA data;
    const WORD version = MAKEWORD(2, 2);
    if (WSAStartup(version, &data) != 0) {
        MessageBoxA(owner, "WSAStartup error", "Error", MB_OK | MB_ICONERROR);
        return 0;
    }
    if (data.wVersion != version) {
        MessageBoxA(owner, "Winsock version error", "Error", MB_OK | MB_ICONERROR);
        return 0;
    }
    return 1;
}

int read_reply(HWND owner)
{
    if (!receive_reply_line())
        return receive_failed(owner, "メールデータ受信に失敗");
    if (reply.text[0] == '-')
        return show_error(owner, reply.text);   // the server's own words
    return 1;
}

int send_command(HWND owner, const char* line)
{
    if (!channel_send(line, lstrlenA(line)))
        return show_error(owner, "メールデータ送信に失敗");
    start_reply_clock();
    return 1;
}

void note_failure(const char* step, unsigned long code)
{
    failed_step = step;
    failed_code = code;
}

int check_mailbox(HWND owner)
{
    note_failure(nullptr, 0);
    ServerAddress server;
    if (!parse_server_address(user_settings.pop_server, &server)) {
        note_failure("the server field", 0);
        return show_error(owner, "POPサーバー名の書式が正しくありません");
    }
    const hostent* host = resolve_server(server.host);
    if (host == nullptr)
        return show_error(owner, "POPサーバー名取得に失敗");

    check_deadline = GetTickCount() + mail_check_time_ms;
    sockaddr_in connected;
    if (!connect_server(owner, host, server.port, &connected))
        return 0;
    note_failure(nullptr, 0);   // an address that failed before another answered is no failure
    receive_begin = receive_end = 0;
    setsockopt(mail_socket, SOL_SOCKET, SO_RCVTIMEO,
               reinterpret_cast<const char*>(&mail_reply_time_ms), sizeof mail_reply_time_ms);
    setsockopt(mail_socket, SOL_SOCKET, SO_SNDTIMEO,
               reinterpret_cast<const char*>(&mail_reply_time_ms), sizeof mail_reply_time_ms);
    channel_reset(mail_reply_time_ms);
    start_reply_clock();   // for the greeting

    char command[COMMAND_BUFFER_SIZE];
    if (server.security == Security::implicit_tls && !start_tls(owner, server, connected))
        return 0;
    if (!read_reply(owner))
        return 0;
    if (server.security == Security::starttls) {
        // No way back to plain text: a refusal ends the check with its words.
        if (!send_command(owner, "STLS\r\n") || !read_reply(owner))
            return 0;
        // Whatever came after the +OK was sent before the encryption: not
        // the server's to say (an injection), so it is never read as a reply.
        if (receive_begin != receive_end) {
            note_failure("STLS", static_cast<unsigned long>(receive_end - receive_begin));
            return show_error(owner, "STLSの後に暗号化されていないデータを受信しました");
        }
        if (!start_tls(owner, server, connected))
            return 0;
    }
    build_command(command, sizeof command, "USER", user_settings.account);
    if (!send_command(owner, command) || !read_reply(owner))
        return 0;
    build_command(command, sizeof command, "PASS", user_settings.password);
    if (!send_command(owner, command) || !read_reply(owner))
        return 0;
    if (!send_command(owner, "STAT\r\n"))
        return 0;
    if (!receive_reply_line())
        return receive_failed(owner, "メールデータ受信失敗");
    if (reply.text[0] == '-')
        return show_error(owner, reply.text);
    // Closed before the notice: a callback that arrives while the icon is
    // added may start a nested check, which needs mail_socket for itself.
    close_mail_socket();   // no QUIT: the mailbox stays untouched

    int count = stat_message_count(reply.text);
    if (count > 0) {
        char notice[REPLY_BUFFER_SIZE];
        wsprintfA(notice, "合計%d通のメールが着ています", count);
        if (user_settings.sound_on == 1)
            play_new_mail_sound();
        remove_mail_icon(owner);
        add_mail_icon(owner, notice);
    }
    return 1;
}
