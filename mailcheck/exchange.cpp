#include "mailcheck/exchange.h"

#include <string.h>

#include "mailcheck/connection/mail_socket.h"
#include "settings/cp932_text.h"
#include "signin/sign_in.h"

namespace {

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

} // namespace

// The box is the user's words; what a support person needs (the step and
// the system's code) goes to the debugger's output, one line a failure.
// The text is copied first, never split inside a double-byte character:
// server text is shown as it is, never used as a format, and a check nested
// in the box's message loop reuses the buffers. The connection is closed
// before the box: while the box is open the settings dialog may start a
// new check, which needs it for itself.
int show_error(Connection* c, HWND owner, const char* text)
{
    // Exchange's answer after a token of another account than the one
    // logged in as: its English says nothing a user can act on.
    if (strstr(text, "authenticated but not connected") != nullptr)
        text = "サインインしたアカウントがアカウント欄と違います";
    char shown[REPLY_BUFFER_SIZE];
    copy_text(shown, sizeof shown, text);
    write_support_line(connection_support(c), nullptr, owner == NO_BOX ? "push:" : "check");
    connection_close(c);
    if (owner != NO_BOX)
        MessageBoxA(owner, shown, "Error", MB_OK | MB_ICONERROR);
    return 0;
}

// A renewed handshake whose certificate was refused is named like the first one's.
int receive_failed(Connection* c, HWND owner, const char* text)
{
    TlsFailure failure = connection_tls_failure(c);
    return show_error(c, owner, failure != TlsFailure::none ? tls_failure_text(failure) : text);
}

int receive_line(Connection* c, HWND owner, ReplyLine* line, const char* watch)
{
    return connection_read_line(c, line, watch) ? 1 : receive_failed(c, owner, RECEIVE_FAILED_TEXT);
}

int send_command(Connection* c, HWND owner, const char* line)
{
    if (!connection_send(c, line, lstrlenA(line)))
        return show_error(c, owner, "メールデータ送信に失敗");
    return 1;
}

int start_tls(Connection* c, HWND owner, const char* name)
{
    TlsFailure failure = connection_start_tls(c, name);
    return failure == TlsFailure::none ? 1 : show_error(c, owner, tls_failure_text(failure));
}

int credentials_for(Connection* c, HWND owner, const ServerAddress& server, const char* server_field,
                    const char* account, const char* password, char* token, Credentials* out)
{
    *out = {account, password, nullptr, server.name, server.port, 0};
    if (password[0] != '\0' || !signin_host(server.name))
        return 1;
    const SigninError error = signin_access_token({server_field, server.name, account, server.protocol == Protocol::imap},
                                                  bounded_deadline(&c->channel.socket, mail_reply_time_ms), token,
                                                  &out->renew_at);
    if (error != SigninError::none) {
        note_failure(connection_support(c), "sign-in", static_cast<unsigned long>(error));
        return show_error(c, owner, signin_error_text(error));
    }
    out->token = token;
    return 1;
}

int send_sasl_response(Connection* c, HWND owner, const Credentials& login, SaslMechanism mechanism)
{
    char response[SASL_RESPONSE_SIZE];
    const size_t length = sasl_response(mechanism, login.account, login.host, login.port, login.token, response,
                                        sizeof response - 2);
    if (length == 0)
        return show_error(c, owner, signin_error_text(SigninError::refused));
    lstrcpyA(response + length, "\r\n");
    return send_command(c, owner, response);
}

int answer_challenge(Connection* c, HWND owner, const ReplyLine& line, SaslMechanism mechanism)
{
    // Its JSON's status is the server's word for why (401, invalid_token).
    char status[32];
    note_failure(connection_support(c),
                 sasl_challenge_status(line.text, status, sizeof status) ? "the token (refused with a status)"
                                                                         : "the token (refused)",
                 0);
    signin_drop_access_token();
    return send_command(c, owner, sasl_challenge_answer(mechanism));
}
