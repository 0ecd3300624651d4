#include "mailcheck/pop3_check.h"

#include <string.h>

#include "mailcheck/exchange.h"
#include "mailcheck/imap_reply.h"
#include "mailcheck/pop3_reply.h"
#include "mailcheck/what_is_new.h"
#include "settings/user_settings.h"
#include "signin/sign_in.h"

namespace {

// A reply that begins with '+' is success ("+OK", and the bare "+" some
// servers send). A server that is not POP3 at all (IMAP's "* OK", "USER
// BAD") must fail here: read as success, its STAT would count 0 for ever,
// and on a plain port the password would follow in clear.
int judge(Connection* c, HWND owner, const ReplyLine& line)
{
    return line.text[0] == '+' ? 1 : show_error(c, owner, line.text);   // the server's own words
}

// The answers to UIDL are asked without a box: whatever fails, the count
// stands, and only what arrived since the last check is unknown. An answer
// numbered for another message is no answer.
bool uidl_of(Connection* c, ReplyLine* line, int32_t n, char* id)
{
    char command[32];
    wsprintfA(command, "UIDL %ld\r\n", static_cast<long>(n));
    int32_t number = 0;
    char answer[UIDL_ID_SIZE];
    if (!connection_send(c, command, lstrlenA(command)) || !connection_read_line(c, line)
        || strncmp(line->text, "+OK", 3) != 0 || !uidl_entry(line->text + 3, &number, answer) || number != n)
        return false;
    lstrcpynA(id, answer, UIDL_ID_SIZE);
    return true;
}

// The whole list walked for the ids seen; false when the server will not
// give it whole.
bool walk_list(Connection* c, ReplyLine* line, const MailboxMemory& last, IdWalk* walk)
{
    if (!connection_send(c, "UIDL\r\n", 6) || !connection_read_line(c, line) || strncmp(line->text, "+OK", 3) != 0)
        return false;
    for (;;) {
        if (!connection_read_line(c, line))
            return false;
        const char* text = line->text;
        if (strcmp(text, ".") == 0)
            return true;
        if (text[0] == '.')
            ++text;   // a line that began with a dot has one more
        int32_t number = 0;
        char entry[UIDL_ID_SIZE];
        if (uidl_entry(text, &number, entry))
            walk_entry(walk, last, number, entry);
    }
}

// What arrived, by the rules of what_is_new.h: "UIDL n" answers the common
// cases in one line; the whole list is asked only when the newest is one
// not seen and the last newest is not at its number (deletions).
void pop3_arrivals(Connection* c, ReplyLine* line, const MailboxMemory& last, Finding* f)
{
    char newest[UIDL_ID_SIZE];
    if (f->count <= 0 || !uidl_of(c, line, f->count, newest)) {
        f->arrived = count_rose(last, *f);   // nothing to remember: the next check counts again
        return;
    }
    if (!same_mailbox(last, *f) || last.seen == 0)
        return pop3_without_seen_ids(f, last, newest);
    const int at = seen_at(last, newest);
    if (at >= 0)
        return pop3_nothing_arrived(f, last, at);
    char at_last[UIDL_ID_SIZE];
    if (last.count > 0 && last.count < f->count && uidl_of(c, line, last.count, at_last)
        && strcmp(at_last, last.seen_ids[0]) == 0)
        return pop3_arrived_at_end(f, last, newest);
    IdWalk walk = {};
    if (walk_list(c, line, last, &walk))
        return pop3_after_walk(f, walk);
    // A newest never seen and no list: it came, unless more than SEEN_IDS went.
    pop3_arrived_at_end(f, last, newest);
}

// 1 when a whole reply line came (into *line) and begins with '+'; anything
// else is the server's refusal (or no POP3 at all), shown in its own words.
int read_reply(Connection* c, HWND owner, ReplyLine* line)
{
    return receive_line(c, owner, line) ? judge(c, owner, *line) : 0;
}

// The mechanism CAPA's SASL line allows: OAUTHBEARER only where it is
// offered alone. Asked without a box: a server without CAPA gets XOAUTH2.
SaslMechanism pop3_mechanism(Connection* c, ReplyLine* line)
{
    bool xoauth2 = false;
    bool oauthbearer = false;
    if (connection_send(c, "CAPA\r\n", 6) && connection_read_line(c, line) && strncmp(line->text, "+OK", 3) == 0)
        while (connection_read_line(c, line) && strcmp(line->text, ".") != 0)
            if (strncmp(line->text, "SASL ", 5) == 0) {
                xoauth2 = imap_has_atom(line->text, "XOAUTH2");
                oauthbearer = imap_has_atom(line->text, "OAUTHBEARER");
            }
    return oauthbearer && !xoauth2 ? SaslMechanism::oauthbearer : SaslMechanism::xoauth2;
}

// AUTH in two steps, the response on a line of its own: RFC 5034 keeps the
// command line within 255 octets, and a token is longer.
int pop3_authenticate(Connection* c, HWND owner, const Credentials& login, ReplyLine* line)
{
    const SaslMechanism mechanism = pop3_mechanism(c, line);
    if (!send_command(c, owner, mechanism == SaslMechanism::xoauth2 ? "AUTH XOAUTH2\r\n" : "AUTH OAUTHBEARER\r\n")
        || !read_reply(c, owner, line) || !send_sasl_response(c, owner, login, mechanism)
        || !receive_line(c, owner, line))
        return 0;
    // "+ <base64>" (not "+OK"): the token was refused, and the server waits
    // for the answer before it says so.
    if (line->text[0] == '+' && strncmp(line->text, "+OK", 3) != 0
        && (!answer_challenge(c, owner, *line, mechanism) || !receive_line(c, owner, line)))
        return 0;
    if (line->text[0] != '+')
        signin_drop_access_token();
    return judge(c, owner, *line);
}

} // namespace

int pop3_find(Connection* c, HWND owner, const ServerAddress& server, const Credentials& login,
              const MailboxMemory& last, Finding* found)
{
    char command[COMMAND_BUFFER_SIZE];
    ReplyLine line;
    if (!read_reply(c, owner, &line))
        return 0;
    if (server.security == Security::starttls) {
        // No way back to plain text: a refusal ends the check with its words.
        if (!send_command(c, owner, "STLS\r\n") || !read_reply(c, owner, &line))
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
    if (login.token != nullptr) {
        if (!pop3_authenticate(c, owner, login, &line))
            return 0;
    } else {
        build_command(command, sizeof command, "USER", login.account);
        if (!send_command(c, owner, command) || !read_reply(c, owner, &line))
            return 0;
        build_command(command, sizeof command, "PASS", login.password);
        if (!send_command(c, owner, command) || !read_reply(c, owner, &line))
            return 0;
    }
    if (!send_command(c, owner, "STAT\r\n"))
        return 0;
    if (!connection_read_line(c, &line))
        return receive_failed(c, owner, "メールデータ受信失敗");
    if (!judge(c, owner, line))
        return 0;
    start_finding(found, stat_message_count(line.text), user_settings.pop_server, user_settings.account);
    pop3_arrivals(c, &line, last, found);
    return 1;   // no QUIT: the mailbox stays untouched
}
