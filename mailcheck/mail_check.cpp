#include "mailcheck/mail_check.h"

#include <string.h>

#include "mailcheck/connection/network_presence.h"
#include "mailcheck/exchange.h"
#include "mailcheck/pop3_reply.h"
#include "mailcheck/server_address.h"
#include "settings/user_settings.h"
#include "shell/shell.h"
#include "tray/tray.h"

bool check_found_no_network;

namespace {

ReplyLine reply;

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

// The handshake and the certificate's judgement, each failure named for
// the user. Nothing of the login leaves before this has succeeded.
int start_tls(HWND owner, const ServerAddress& server)
{
    TlsFailure failure = connection_start_tls(server);
    return failure == TlsFailure::none ? 1 : show_error(owner, tls_failure_text(failure));
}

// Greeting, STLS where asked, USER, PASS and STAT: the message count.
int pop3_stat(HWND owner, const ServerAddress& server, int32_t* count)
{
    char command[COMMAND_BUFFER_SIZE];
    if (!read_reply(owner))
        return 0;
    if (server.security == Security::starttls) {
        // No way back to plain text: a refusal ends the check with its words.
        if (!send_command(owner, "STLS\r\n") || !read_reply(owner))
            return 0;
        // Whatever came after the +OK was sent before the encryption: not
        // the server's to say (an injection), so it is never read as a reply.
        if (connection_unread() != 0) {
            note_failure("STLS", static_cast<unsigned long>(connection_unread()));
            return show_error(owner, "STLSの後に暗号化されていないデータを受信しました");
        }
        if (!start_tls(owner, server))
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
    if (!connection_read_line(&reply))
        return receive_failed(owner, "メールデータ受信失敗");
    if (reply.text[0] == '-')
        return show_error(owner, reply.text);
    *count = stat_message_count(reply.text);   // no QUIT: the mailbox stays untouched
    return 1;
}

} // namespace

// The box is the user's words; what a support person needs (the step and
// the system's code) goes to the debugger's output, one line a failure.
// The text is copied first: server text is shown as it is, never used as a
// format, and a check nested in the box's message loop reuses the buffers.
// The connection is closed before the box: while the box is open the
// settings dialog may start a new check, which needs it for itself.
int show_error(HWND owner, const char* text)
{
    char shown[REPLY_BUFFER_SIZE];
    lstrcpynA(shown, text, sizeof shown);
    write_support_line();
    connection_close();
    MessageBoxA(owner, shown, "Error", MB_OK | MB_ICONERROR);
    return 0;
}

// A renewed handshake whose certificate was refused is named like the first one's.
int receive_failed(HWND owner, const char* text)
{
    TlsFailure failure = connection_tls_failure();
    return show_error(owner, failure != TlsFailure::none ? tls_failure_text(failure) : text);
}

int receive_line(HWND owner, ReplyLine* line)
{
    return connection_read_line(line) ? 1 : receive_failed(owner, RECEIVE_FAILED_TEXT);
}

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
    if (!receive_line(owner, &reply))
        return 0;
    if (reply.text[0] == '-')
        return show_error(owner, reply.text);   // the server's own words
    return 1;
}

int send_command(HWND owner, const char* line)
{
    if (!connection_send(line, lstrlenA(line)))
        return show_error(owner, "メールデータ送信に失敗");
    return 1;
}

int check_mailbox(HWND owner)
{
    note_failure(nullptr, 0);
    check_found_no_network = false;
    ServerAddress server;
    if (!parse_server_address(user_settings.pop_server, &server)) {
        note_failure("the server field", 0);
        return show_error(owner, "POPサーバー名の書式が正しくありません");
    }
    const Reach reach = connection_open(server);
    // Without a network no server can be reached: that is no fault of the
    // mailbox, so nothing is shown and polling goes on (the line still says why).
    if ((reach == Reach::lookup_failed || reach == Reach::unreachable) && !network_usable()) {
        write_support_line("no usable network");
        connection_close();
        check_found_no_network = true;
        return 1;
    }
    switch (reach) {
    case Reach::lookup_failed:
        return show_error(owner, "POPサーバー名取得に失敗");
    case Reach::socket_failed:
        return show_error(owner, "Mail socket open error");
    case Reach::unreachable:
    case Reach::connect_failed:
        return show_error(owner, "Mail connect error");
    case Reach::connected:
        break;
    }
    if (server.security == Security::implicit_tls && !start_tls(owner, server))
        return 0;
    int32_t count = 0;
    if (!(server.protocol == Protocol::imap ? imap_unseen(owner, &count) : pop3_stat(owner, server, &count)))
        return 0;
    // Closed before the notice: a callback that arrives while the icon is
    // added may start a nested check, which needs mail_socket for itself.
    connection_close();

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
