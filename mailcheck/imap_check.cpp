// The unread count over IMAP: greeting, LOGIN (or none after PREAUTH),
// STATUS INBOX (UNSEEN), LOGOUT. Untagged lines are read and skipped.
#include "mailcheck/imap_check.h"

#include <string.h>

#include "mailcheck/exchange.h"
#include "mailcheck/imap_reply.h"
#include "settings/user_settings.h"

namespace {

ReplyLine line;
// The command on its way: "a1 LOGIN " and two strings quoted at their
// longest, escapes and all.
char outgoing[16 + 2 * (2 * SETTING_TEXT_SIZE + 3)];
static_assert(sizeof outgoing <= LONGEST_COMMAND, "LOGIN goes out in one piece");
int outgoing_length;

void put(const char* text)
{
    const int length = lstrlenA(text);
    memcpy(outgoing + outgoing_length, text, static_cast<size_t>(length));
    outgoing_length += length;
    outgoing[outgoing_length] = '\0';
}

int flush(HWND owner)
{
    outgoing_length = 0;
    return send_command(owner, outgoing);
}

// Lines up to the one wanted (the tagged OK, or the server's go-ahead for
// a literal), the untagged ones skipped; a STATUS line among them gives
// *unseen. A tagged NO or BAD shows the server's own words.
int read_until(HWND owner, const char* tag, ImapLine wanted, int32_t* unseen)
{
    for (;;) {
        if (!receive_line(owner, &line))
            return 0;
        const ImapLine kind = imap_line_kind(line.text, tag);
        if (kind == wanted)
            return 1;
        if (kind == ImapLine::untagged) {
            if (unseen != nullptr)
                imap_unseen_count(line.text, unseen);
            continue;
        }
        if (kind == ImapLine::no || kind == ImapLine::bad)
            return show_error(owner, line.text + strlen(tag) + 1);
        return show_error(owner, RECEIVE_FAILED_TEXT);
    }
}

// A string argument: quoted, or where a byte cannot be, a literal sent once
// the server says go on.
int put_string(HWND owner, const char* tag, const char* value)
{
    char quoted[2 * SETTING_TEXT_SIZE + 3];
    if (imap_quote(quoted, sizeof quoted, value) != 0) {
        put(quoted);
        return 1;
    }
    char size[16];
    wsprintfA(size, "{%d}\r\n", lstrlenA(value));
    put(size);
    if (!flush(owner) || !read_until(owner, tag, ImapLine::continuation, nullptr))
        return 0;
    put(value);
    return 1;
}

} // namespace

int imap_unseen(HWND owner, int32_t* count)
{
    if (!receive_line(owner, &line))
        return 0;
    switch (imap_greeting(line.text)) {
    case ImapGreeting::bye:
        return show_error(owner, line.text + 2);   // "BYE" and the server's reason
    case ImapGreeting::malformed:
        return show_error(owner, RECEIVE_FAILED_TEXT);
    case ImapGreeting::preauth:
        break;   // already logged in
    case ImapGreeting::ok:
        if (imap_has_atom(line.text, "LOGINDISABLED"))
            return show_error(owner, "サーバーがパスワードでのログインを受け付けていません（LOGINDISABLED）");
        outgoing_length = 0;
        put("a1 LOGIN ");
        if (!put_string(owner, "a1", user_settings.account))
            return 0;
        put(" ");
        if (!put_string(owner, "a1", user_settings.password))
            return 0;
        put("\r\n");
        if (!flush(owner) || !read_until(owner, "a1", ImapLine::ok, nullptr))
            return 0;
        break;
    }
    int32_t unseen = -1;
    if (!send_command(owner, "a2 STATUS INBOX (UNSEEN)\r\n") || !read_until(owner, "a2", ImapLine::ok, &unseen))
        return 0;
    if (unseen < 0)   // no count that parses is ever shown as one
        return show_error(owner, RECEIVE_FAILED_TEXT);
    *count = unseen;
    // The session is over for the server too; its answer, or none, changes nothing.
    static const char logout[] = "a3 LOGOUT\r\n";
    connection_send(logout, sizeof logout - 1);
    return 1;
}
