#include "mailcheck/pop3_check.h"

#include "mailcheck/exchange.h"
#include "mailcheck/pop3_reply.h"
#include "settings/user_settings.h"

namespace {

// A reply that begins with '+' is success ("+OK", and the bare "+" some
// servers send). A server that is not POP3 at all (IMAP's "* OK", "USER
// BAD") must fail here: read as success, its STAT would count 0 for ever,
// and on a plain port the password would follow in clear.
int judge(Connection* c, HWND owner)
{
    return c->line.text[0] == '+' ? 1 : show_error(c, owner, c->line.text);   // the server's own words
}

} // namespace

int read_reply(Connection* c, HWND owner)
{
    return receive_line(c, owner) ? judge(c, owner) : 0;
}

int pop3_stat(Connection* c, HWND owner, const ServerAddress& server, int32_t* count)
{
    char command[COMMAND_BUFFER_SIZE];
    if (!read_reply(c, owner))
        return 0;
    if (server.security == Security::starttls) {
        // No way back to plain text: a refusal ends the check with its words.
        if (!send_command(c, owner, "STLS\r\n") || !read_reply(c, owner))
            return 0;
        // Whatever came after the +OK was sent before the encryption: not
        // the server's to say (an injection), so it is never read as a reply.
        if (connection_unread(c) != 0) {
            note_failure(connection_support(c), "STLS", static_cast<unsigned long>(connection_unread(c)));
            return show_error(c, owner, "STLSの後に暗号化されていないデータを受信しました");
        }
        if (!start_tls(c, owner, server.literal ? nullptr : server.name))
            return 0;
    }
    build_command(command, sizeof command, "USER", user_settings.account);
    if (!send_command(c, owner, command) || !read_reply(c, owner))
        return 0;
    build_command(command, sizeof command, "PASS", user_settings.password);
    if (!send_command(c, owner, command) || !read_reply(c, owner))
        return 0;
    if (!send_command(c, owner, "STAT\r\n"))
        return 0;
    if (!connection_read_line(c, &c->line))
        return receive_failed(c, owner, "メールデータ受信失敗");
    if (!judge(c, owner))
        return 0;
    *count = stat_message_count(c->line.text);   // no QUIT: the mailbox stays untouched
    return 1;
}
