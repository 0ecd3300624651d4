// The unread count over IMAP: greeting, LOGIN (or none after PREAUTH),
// CAPABILITY when the login's answer listed none, STATUS INBOX (UNSEEN
// UIDNEXT UIDVALIDITY), LOGOUT; when there is new mail, who wrote
// it in between. Untagged lines are read and skipped.
#include "mailcheck/imap_check.h"

#include <string.h>

#include "mailcheck/exchange.h"
#include "mailcheck/header_text.h"
#include "mailcheck/imap_reply.h"
#include "settings/user_settings.h"

namespace {

// A command on its way: "a1 LOGIN " and two strings quoted at their
// longest, escapes and all.
struct Outgoing {
    char text[16 + 2 * (2 * SETTING_TEXT_SIZE + 3)];
    int length;
};
static_assert(sizeof Outgoing::text <= LONGEST_COMMAND, "LOGIN goes out in one piece");

// What the capabilities said since the login began.
struct Capabilities {
    bool listed;
    bool idle;
};

void note_capabilities(const ReplyLine& line, Capabilities* capabilities)
{
    if (capabilities != nullptr && imap_has_atom(line.text, "CAPABILITY")) {
        capabilities->listed = true;
        // Looked for while the line was read: it may stand past what the buffer keeps.
        capabilities->idle = capabilities->idle || line.watch_found;
    }
}

void put(Outgoing* out, const char* text)
{
    const int length = lstrlenA(text);
    memcpy(out->text + out->length, text, static_cast<size_t>(length));
    out->length += length;
    out->text[out->length] = '\0';
}

int flush(Connection* c, HWND owner, Outgoing* out)
{
    out->length = 0;
    return send_command(c, owner, out->text);
}

// What a STATUS line among the replies said.
struct Status {
    int32_t unseen;   // -1: no count
    uint32_t uidnext;
    uint32_t uidvalidity;
};

// Lines up to the one wanted (the tagged OK, or the server's go-ahead for
// a literal), the untagged ones skipped but for a STATUS line (into
// *status) and the capabilities (into *capabilities). A tagged NO or BAD
// shows the server's own words.
int read_until(Connection* c, HWND owner, const char* tag, ImapLine wanted, Status* status = nullptr,
               Capabilities* capabilities = nullptr)
{
    for (;;) {
        if (!receive_line(c, owner))
            return 0;
        const char* text = c->line.text;
        const ImapLine kind = imap_line_kind(text, tag);
        note_capabilities(c->line, capabilities);
        if (kind == wanted)
            return 1;
        if (kind == ImapLine::untagged) {
            if (status != nullptr)
                imap_status(text, &status->unseen, &status->uidnext, &status->uidvalidity);
            continue;
        }
        if (kind == ImapLine::no || kind == ImapLine::bad)
            return show_error(c, owner, text + strlen(tag) + 1);
        return show_error(c, owner, RECEIVE_FAILED_TEXT);
    }
}

// A string argument: quoted, or where a byte cannot be, a literal sent once
// the server says go on.
int put_string(Connection* c, HWND owner, Outgoing* out, const char* tag, const char* value)
{
    char quoted[2 * SETTING_TEXT_SIZE + 3];
    if (imap_quote(quoted, sizeof quoted, value) != 0) {
        put(out, quoted);
        return 1;
    }
    char size[16];
    wsprintfA(size, "{%d}\r\n", lstrlenA(value));
    put(out, size);
    if (!flush(c, owner, out) || !read_until(c, owner, tag, ImapLine::continuation))
        return 0;
    put(out, value);
    return 1;
}

// The system's own converters for the header's charsets.
size_t system_decode(unsigned code_page, const char* bytes, size_t length, char16_t* out, size_t capacity)
{
    const int count = MultiByteToWideChar(code_page, code_page == 65001 || code_page == 932 ? MB_ERR_INVALID_CHARS : 0,
                                          bytes, static_cast<int>(length), reinterpret_cast<wchar_t*>(out),
                                          static_cast<int>(capacity));
    return count > 0 ? static_cast<size_t>(count) : 0;
}

// The UIDs searched for the newest unread: their answer fits a reply line.
constexpr uint32_t NEWEST_WINDOW = 20;
// A header of a few KiB at most: the sender and the subject are all it is read for.
constexpr size_t HEADER_LITERAL_LIMIT = 4096;

// One command of the description and its replies, without a box: whatever
// fails, the count itself was good. Untagged lines go to on_line.
template <typename OnLine>
bool describe_step(Connection* c, const char* command, const char* tag, OnLine on_line)
{
    if (!connection_send(c, command, lstrlenA(command)))
        return false;
    for (;;) {
        if (!connection_read_line(c, &c->line))
            return false;
        const ImapLine kind = imap_line_kind(c->line.text, tag);
        if (kind == ImapLine::ok)
            return true;
        if (kind != ImapLine::untagged || !on_line())
            return false;
    }
}

} // namespace

int imap_newest(Connection* c, NoticeLine* lines, int capacity, uint32_t uidnext, uint32_t since, int* arrived)
{
    ReplyLine& line = c->line;
    uint32_t newest[3] = {};
    int found = 0;
    *arrived = -1;
    if (capacity > 3)
        capacity = 3;
    // Only among the last few UIDs: new mail is there, and the answer then
    // fits a reply line (a long one is cut, and its newest UIDs come last).
    char search[64];
    const uint32_t from = uidnext > NEWEST_WINDOW ? uidnext - NEWEST_WINDOW : 1;
    if (from > 1)
        wsprintfA(search, "b2 UID SEARCH UNSEEN UID %lu:*\r\n", static_cast<unsigned long>(from));
    else
        lstrcpyA(search, "b2 UID SEARCH UNSEEN\r\n");
    // Read-only, and BODY.PEEK: nothing is marked \Seen.
    if (!describe_step(c, "b1 EXAMINE INBOX\r\n", "b1", [] { return true; })
        || !describe_step(c, search, "b2", [&] {
               if (line.length >= REPLY_BUFFER_SIZE - 1)
                   return false;   // cut short: its newest UIDs are lost
               imap_search_newest(line.text, newest, capacity, &found);
               return true;
           }))
        return 0;
    // "n:*" is "*:n" when n is above every UID (RFC 9051): the largest
    // UID in use comes back, below the window, and is no answer.
    while (found > 0 && newest[found - 1] < from)
        --found;
    // New: an unread message at or above the next UID the last check saw
    // (largest first: the first one tells).
    *arrived = found > 0 && newest[0] >= since ? 1 : 0;
    if (found == 0 || *arrived == 0)
        return 0;
    char command[96];
    int length = wsprintfA(command, "b3 UID FETCH %lu", static_cast<unsigned long>(newest[0]));
    for (int i = 1; i < found; ++i)
        length += wsprintfA(command + length, ",%lu", static_cast<unsigned long>(newest[i]));
    lstrcpyA(command + length, " (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n");
    int described = 0;
    char header[HEADER_LITERAL_LIMIT];
    const bool fetched = describe_step(c, command, "b3", [&] {
        uint32_t uid = 0;
        size_t size = 0;
        if (!imap_fetch_literal(line.text, &uid, &size))
            return true;   // another untagged line
        if (size > sizeof header || !connection_read_bytes(c, header, size) || !connection_read_line(c, &line))
            return false;
        if (uid == 0)
            imap_fetch_uid(line.text, &uid);
        for (int i = 0; i < found; ++i) {
            if (newest[i] != uid)
                continue;
            size_t value_length = 0;
            const char* value = header_field(header, size, "From", &value_length);
            if (value != nullptr)
                sender_name(value, value_length, system_decode, lines[i].sender, HEADER_TEXT_SIZE);
            value = header_field(header, size, "Subject", &value_length);
            if (value != nullptr)
                decode_header_value(value, value_length, system_decode, lines[i].subject, HEADER_TEXT_SIZE);
            ++described;
        }
        return true;
    });
    return fetched && described == found ? found : 0;
}

void imap_logout(Connection* c)
{
    // The session is over for the server too; its answer, or none, changes nothing.
    static const char logout[] = "a3 LOGOUT\r\n";
    connection_send(c, logout, sizeof logout - 1);
}

int imap_command(Connection* c, HWND owner, const char* command, const char* tag, ImapLine wanted)
{
    return send_command(c, owner, command) && read_until(c, owner, tag, wanted);
}

int imap_login(Connection* c, HWND owner, const char* account, const char* password, bool* idle)
{
    Capabilities capabilities = {};
    c->watch = "IDLE";
    if (!receive_line(c, owner))
        return 0;
    const char* text = c->line.text;
    switch (imap_greeting(text)) {
    case ImapGreeting::bye:
        return show_error(c, owner, text + 2);   // "BYE" and the server's reason
    case ImapGreeting::malformed:
        return show_error(c, owner, RECEIVE_FAILED_TEXT);
    case ImapGreeting::preauth:
        note_capabilities(c->line, &capabilities);   // already logged in: these are the ones that count
        break;
    case ImapGreeting::ok: {
        if (imap_has_atom(text, "LOGINDISABLED"))
            return show_error(c, owner, "サーバーがパスワードでのログインを受け付けていません（LOGINDISABLED）");
        Outgoing out = {};
        put(&out, "a1 LOGIN ");
        if (!put_string(c, owner, &out, "a1", account))
            return 0;
        put(&out, " ");
        if (!put_string(c, owner, &out, "a1", password))
            return 0;
        put(&out, "\r\n");
        if (!flush(c, owner, &out) || !read_until(c, owner, "a1", ImapLine::ok, nullptr, &capabilities))
            return 0;
        break;
    }
    }
    if (!capabilities.listed
        && !(send_command(c, owner, "a0 CAPABILITY\r\n")
             && read_until(c, owner, "a0", ImapLine::ok, nullptr, &capabilities)))
        return 0;
    *idle = capabilities.idle;
    return 1;
}

int imap_unseen(Connection* c, HWND owner, int32_t* count, uint32_t* uidnext, uint32_t* uidvalidity)
{
    Status status = {-1, 0, 0};
    if (!send_command(c, owner, "a2 STATUS INBOX (UNSEEN UIDNEXT UIDVALIDITY)\r\n")
        || !read_until(c, owner, "a2", ImapLine::ok, &status))
        return 0;
    if (status.unseen < 0)   // no count that parses is ever shown as one
        return show_error(c, owner, RECEIVE_FAILED_TEXT);
    *count = status.unseen;
    *uidnext = status.uidnext;
    *uidvalidity = status.uidvalidity;
    return 1;
}
