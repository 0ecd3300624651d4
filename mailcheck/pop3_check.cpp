#include "mailcheck/pop3_check.h"

#include <string.h>

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

// The answers to UIDL are asked without a box: whatever fails, the count
// stands, and only what arrived since the last check is unknown.
bool uidl_of(Connection* c, int32_t n, char* id)
{
    char command[32];
    wsprintfA(command, "UIDL %ld\r\n", static_cast<long>(n));
    int32_t number = 0;
    return connection_send(c, command, lstrlenA(command)) && connection_read_line(c, &c->line)
        && strncmp(c->line.text, "+OK", 3) == 0 && uidl_entry(c->line.text + 3, &number, id) && number == n;
}

// Where id stands in the whole list: its number, 0 when it is not there,
// -1 when the server will not say.
int32_t uidl_position(Connection* c, const char* id)
{
    if (!connection_send(c, "UIDL\r\n", 6) || !connection_read_line(c, &c->line)
        || strncmp(c->line.text, "+OK", 3) != 0)
        return -1;
    for (;;) {
        if (!connection_read_line(c, &c->line))
            return -1;
        const char* text = c->line.text;
        if (strcmp(text, ".") == 0)
            return 0;
        if (text[0] == '.')
            ++text;   // a line that began with a dot has one more
        int32_t number = 0;
        char entry[UIDL_ID_SIZE];
        if (uidl_entry(text, &number, entry) && strcmp(entry, id) == 0)
            return number;
    }
}

} // namespace

int pop3_arrivals(Connection* c, int32_t count, const char* last_id, int32_t last_count, char* newest_id)
{
    newest_id[0] = '\0';
    if (count <= 0 || !uidl_of(c, count, newest_id) || last_id[0] == '\0')
        return -1;
    if (strcmp(newest_id, last_id) == 0)
        return 0;   // nothing came (older ones may have gone)
    // Only new mail at the end: the last newest is still at its number.
    char at_last[UIDL_ID_SIZE];
    if (last_count > 0 && last_count < count && uidl_of(c, last_count, at_last) && strcmp(at_last, last_id) == 0)
        return 1;
    // After deletions: the whole list, where the last newest is now; all
    // after it arrived since. Gone itself: the server cannot tell.
    const int32_t position = uidl_position(c, last_id);
    return position > 0 ? (count > position ? 1 : 0) : -1;
}

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
