#include "mailcheck/mail_check.h"

#include <string.h>

#include "mailcheck/mail_channel.h"
#include "mailcheck/pop3_reply.h"
#include "mailcheck/server_address.h"
#include "settings/user_settings.h"
#include "shell/shell.h"
#include "tray/tray.h"

SOCKET mail_socket = INVALID_SOCKET;

namespace {

// Received bytes not yet taken by a reply: a reply is complete only at its
// LF, and whatever came after it belongs to the next one.
char receive_buffer[REPLY_BUFFER_SIZE - 1];
int receive_begin;
int receive_end;
ReplyLine reply;
// A reply must be whole by then: a server that drips bytes without a line
// end would otherwise hold the program in recv for good.
DWORD reply_deadline;

void start_reply_clock()
{
    reply_deadline = GetTickCount() + MAIL_SOCKET_TIMEOUT_MS;
}

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

// The text is copied first: server text is shown as it is, never used as a
// format, and a check nested in the box's message loop reuses the buffers.
int show_error(HWND owner, const char* text)
{
    char shown[REPLY_BUFFER_SIZE];
    lstrcpynA(shown, text, sizeof shown);
    close_mail_socket();
    MessageBoxA(owner, shown, "Error", MB_OK | MB_ICONERROR);
    return 0;
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
    if (host != nullptr && (host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr))
        host = nullptr;
    return host;
}

// The handshake and the certificate check, each failure named for the user.
// Nothing of the login leaves before this has succeeded.
int start_tls(HWND owner, const char* host)
{
    start_reply_clock();
    TlsFailure failure = channel_start_tls(host, reply_deadline);
    start_reply_clock();   // for the reply that follows
    switch (failure) {
    case TlsFailure::none:
        return 1;
    case TlsFailure::not_tls:
        return show_error(owner, "サーバーはこのポートでTLSを使っていません");
    case TlsFailure::untrusted:
        return show_error(owner, "サーバー証明書の発行元が信頼されていません");
    case TlsFailure::name_mismatch:
        return show_error(owner, "サーバー証明書の名前がPOPサーバー名と一致しません");
    case TlsFailure::expired:
        return show_error(owner, "サーバー証明書の有効期限が切れています");
    case TlsFailure::handshake:
    default:
        return show_error(owner, "TLSの接続に失敗しました");
    }
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
        return show_error(owner, "メールデータ受信に失敗");
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

int check_mailbox(HWND owner)
{
    ServerAddress server;
    if (!parse_server_address(user_settings.pop_server, &server)) {
        MessageBoxA(owner, "POPサーバー名の書式が正しくありません", "Error", MB_OK | MB_ICONERROR);
        return 0;
    }
    const hostent* host = resolve_server(server.host);
    if (host == nullptr) {
        MessageBoxA(owner, "POPサーバー名取得に失敗", "Error", MB_OK | MB_ICONERROR);
        return 0;
    }

    mail_socket = socket(AF_INET, SOCK_STREAM, 0);
    if (mail_socket == INVALID_SOCKET) {
        MessageBoxA(owner, "Mail socket open error", "Error", MB_OK | MB_ICONERROR);
        return 0;
    }
    receive_begin = receive_end = 0;
    DWORD timeout = MAIL_SOCKET_TIMEOUT_MS;
    setsockopt(mail_socket, SOL_SOCKET, SO_RCVTIMEO,
               reinterpret_cast<const char*>(&timeout), sizeof timeout);
    setsockopt(mail_socket, SOL_SOCKET, SO_SNDTIMEO,
               reinterpret_cast<const char*>(&timeout), sizeof timeout);

    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(server.port);
    size_t address_length = static_cast<size_t>(host->h_length);
    if (address_length > sizeof address.sin_addr)
        address_length = sizeof address.sin_addr;
    memcpy(&address.sin_addr, host->h_addr_list[0], address_length);
    if (connect(mail_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
        return show_error(owner, "Mail connect error");
    channel_reset();
    start_reply_clock();   // for the greeting

    char command[COMMAND_BUFFER_SIZE];
    if (server.security == Security::implicit_tls && !start_tls(owner, server.host))
        return 0;
    if (!read_reply(owner))
        return 0;
    if (server.security == Security::starttls) {
        // No way back to plain text: a refusal ends the check with its words.
        if (!send_command(owner, "STLS\r\n") || !read_reply(owner))
            return 0;
        // Whatever came after the +OK was sent before the encryption: not
        // the server's to say (an injection), so it is never read as a reply.
        if (receive_begin != receive_end)
            return show_error(owner, "STLSの後に暗号化されていないデータを受信しました");
        if (!start_tls(owner, server.host))
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
        return show_error(owner, "メールデータ受信失敗");
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
