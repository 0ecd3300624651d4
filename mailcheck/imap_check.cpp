// The unread count over IMAP: greeting, LOGIN (or none after PREAUTH),
// CAPABILITY when the login's answer listed none, STATUS INBOX (UNSEEN
// UIDNEXT UIDVALIDITY), LOGOUT; when there is new mail, who wrote
// it in between. Untagged lines are read and skipped.
#include "mailcheck/imap_check.h"

#include <string.h>

#include "mailcheck/exchange.h"
#include "mailcheck/header_text.h"
#include "mailcheck/imap_reply.h"
#include "mailcheck/what_is_new.h"
#include "settings/user_settings.h"
#include "signin/sign_in.h"

namespace {

// A command on its way: "a1 LOGIN " and two strings quoted at their
// longest, escapes and all.
struct Outgoing {
    char text[16 + 2 * (2 * SETTING_TEXT_SIZE + 3)];
    int length;
};
static_assert(sizeof Outgoing::text <= LONGEST_COMMAND, "LOGIN goes out in one piece");

// A function object as imap_until's callback for the untagged lines.
template <typename F>
OnUntagged untagged_call(F&)
{
    return [](void* f, ReplyLine* line) { return (*static_cast<F*>(f))(line); };
}

// Looked for in every line the capabilities may stand in.
constexpr const char* IDLE_WORD = "IDLE";

// What the capabilities said since the login began.
struct Capabilities {
    bool listed;
    bool idle;
    // What a login with a token asks for.
    bool sasl_ir;
    bool xoauth2;
    bool oauthbearer;
};

void note_capabilities(const ReplyLine& line, Capabilities* capabilities)
{
    if (capabilities != nullptr && imap_has_atom(line.text, "CAPABILITY")) {
        capabilities->listed = true;
        // Looked for while the line was read: it may stand past what the buffer keeps.
        capabilities->idle = capabilities->idle || line.watch_found;
        capabilities->sasl_ir = capabilities->sasl_ir || imap_has_atom(line.text, "SASL-IR");
        capabilities->xoauth2 = capabilities->xoauth2 || imap_has_atom(line.text, "AUTH=XOAUTH2");
        capabilities->oauthbearer = capabilities->oauthbearer || imap_has_atom(line.text, "AUTH=OAUTHBEARER");
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
// *status) and the capabilities (into *capabilities, the tagged line's
// too). A tagged NO or BAD shows the server's own words.
int read_until(Connection* c, HWND owner, ReplyLine* line, const char* tag, ImapLine wanted, Status* status = nullptr,
               Capabilities* capabilities = nullptr)
{
    // The capabilities may list IDLE past what the buffer keeps.
    auto note = [&](const ReplyLine* untagged) {
        note_capabilities(*untagged, capabilities);
        if (status != nullptr)
            imap_status(untagged->text, &status->unseen, &status->uidnext, &status->uidvalidity);
        return true;
    };
    const int got = imap_until(c, line, tag, wanted, capabilities != nullptr ? IDLE_WORD : nullptr,
                               untagged_call(note), &note);
    if (got > 0) {
        note_capabilities(*line, capabilities);
        return 1;
    }
    if (got == 0)
        return receive_failed(c, owner, RECEIVE_FAILED_TEXT);
    const ImapLine kind = imap_line_kind(line->text, tag);
    if (kind == ImapLine::no || kind == ImapLine::bad)
        return show_error(c, owner, line->text + strlen(tag) + 1);
    return show_error(c, owner, RECEIVE_FAILED_TEXT);
}

// A string argument: quoted, or where a byte cannot be, a literal sent once
// the server says go on.
int put_string(Connection* c, HWND owner, ReplyLine* line, Outgoing* out, const char* tag, const char* value)
{
    char quoted[2 * SETTING_TEXT_SIZE + 3];
    if (imap_quote(quoted, sizeof quoted, value) != 0) {
        put(out, quoted);
        return 1;
    }
    char size[16];
    wsprintfA(size, "{%d}\r\n", lstrlenA(value));
    put(out, size);
    if (!flush(c, owner, out) || !read_until(c, owner, line, tag, ImapLine::continuation))
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
bool describe_step(Connection* c, ReplyLine* line, const char* command, const char* tag, OnLine on_line)
{
    return connection_send(c, command, lstrlenA(command))
        && imap_until(c, line, tag, ImapLine::ok, nullptr, untagged_call(on_line), &on_line) == 1;
}

// A UID SEARCH UNSEEN from a UID on (or over the whole inbox from 1): the
// largest unread UIDs at or above `from`, largest first.
struct Unseen {
    bool answered;
    bool cut;                  // the answer was longer than a reply line: its largest UIDs are lost
    int found;
    uint32_t newest[NOTICE_LINES];
};

Unseen search_unseen(Connection* c, ReplyLine* line, uint32_t from)
{
    char search[64];
    if (from > 1)
        wsprintfA(search, "b2 UID SEARCH UNSEEN UID %lu:*\r\n", static_cast<unsigned long>(from));
    else
        lstrcpyA(search, "b2 UID SEARCH UNSEEN\r\n");
    Unseen u = {};
    u.answered = describe_step(c, line, search, "b2", [&](const ReplyLine* answer) {
        u.cut = u.cut || answer->length >= REPLY_BUFFER_SIZE - 1;
        imap_search_newest(answer->text, u.newest, NOTICE_LINES, &u.found);
        return true;
    });
    // "n:*" is "*:n" when n is above every UID (RFC 9051): the largest
    // UID in use comes back, below `from`, and is no answer.
    while (u.found > 0 && u.newest[u.found - 1] < from)
        --u.found;
    if (u.cut)
        u.found = 0;   // not the largest: no names from it
    return u;
}

// Who wrote the newest unread messages and about what, into f->lines, when
// unread mail arrived from UID `since` on (0: all unread is new). Whether
// it arrived and which names to show are two questions: a burst of
// deliveries, most of them moved out elsewhere, leaves new mail below the
// window of the newest UIDs. Never a box, never a message marked \Seen:
// read-only, and BODY.PEEK. Whatever fails here, the count stands; a
// server that would not say keeps "the next UID grew" (or the count rule
// that led here): arrived.
void describe_newest(Connection* c, ReplyLine* line, uint32_t uidnext, uint32_t since, Finding* f)
{
    f->arrived = true;
    // Only among the last few UIDs: new mail is there, and the answer then
    // fits a reply line.
    const uint32_t from = uidnext > NEWEST_WINDOW ? uidnext - NEWEST_WINDOW : 1;
    if (!describe_step(c, line, "b1 EXAMINE INBOX\r\n", "b1", [](const ReplyLine*) { return true; }))
        return;
    uint32_t highest = 0;
    if (since > 0 && since < from) {
        const Unseen arrivals = search_unseen(c, line, since);
        if (arrivals.answered)
            f->arrived = arrivals.cut || arrivals.found > 0;
        highest = arrivals.found > 0 ? arrivals.newest[0] : 0;
    }
    const Unseen window = search_unseen(c, line, from);
    if (!window.answered)
        return;
    if (window.found > 0 && window.newest[0] > highest)
        highest = window.newest[0];
    if (since >= from)
        f->arrived = window.found > 0 && window.newest[0] >= since;
    f->memory.uidnext = uidnext_to_remember(f->memory.uidnext, highest);
    if (!f->arrived || window.found == 0)
        return;
    char command[96];
    int length = wsprintfA(command, "b3 UID FETCH %lu", static_cast<unsigned long>(window.newest[0]));
    for (int i = 1; i < window.found; ++i)
        length += wsprintfA(command + length, ",%lu", static_cast<unsigned long>(window.newest[i]));
    lstrcpyA(command + length, " (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n");
    int described = 0;
    char header[HEADER_LITERAL_LIMIT];
    const bool fetched = describe_step(c, line, command, "b3", [&](ReplyLine* fetch) {
        uint32_t uid = 0;
        size_t size = 0;
        if (!imap_fetch_literal(fetch->text, &uid, &size))
            return true;   // another untagged line
        if (size > sizeof header || !connection_read_bytes(c, header, size) || !connection_read_line(c, fetch))
            return false;
        if (uid == 0)
            imap_fetch_uid(fetch->text, &uid);
        for (int i = 0; i < window.found; ++i) {
            if (window.newest[i] != uid)
                continue;
            NoticeLine& shown = f->lines[i];
            size_t value_length = 0;
            const char* value = header_field(header, size, "From", &value_length);
            if (value != nullptr)
                sender_name(value, value_length, system_decode, shown.sender, HEADER_TEXT_SIZE);
            value = header_field(header, size, "Subject", &value_length);
            if (value != nullptr)
                decode_header_value(value, value_length, system_decode, shown.subject, HEADER_TEXT_SIZE);
            ++described;
        }
        return true;
    });
    f->described = fetched && described == window.found ? window.found : 0;
}

} // namespace

int imap_find(Connection* c, HWND owner, const MailboxMemory& last, Finding* found)
{
    Status status = {-1, 0, 0};
    ReplyLine line;
    if (!send_command(c, owner, "a2 STATUS INBOX (UNSEEN UIDNEXT UIDVALIDITY)\r\n")
        || !read_until(c, owner, &line, "a2", ImapLine::ok, &status))
        return 0;
    if (status.unseen < 0)   // no count that parses is ever shown as one
        return show_error(c, owner, RECEIVE_FAILED_TEXT);
    start_finding(found, status.unseen, user_settings.pop_server, user_settings.account);
    found->memory.uidnext = status.uidnext;
    found->memory.uidvalidity = status.uidvalidity;
    // From which UID on unread mail arrived (0: all of it), by the rules
    // of what_is_new.h; the server is asked only when something may have.
    uint32_t since = 0;
    if (found->count <= 0)
        return 1;
    if (same_mailbox(last, *found) && status.uidnext != 0 && last.uidnext != 0) {
        if (status.uidnext <= last.uidnext)
            return 1;   // nothing delivered
        since = last.uidnext;
    } else if (!count_rose(last, *found)) {
        return 1;
    }
    describe_newest(c, &line, status.uidnext, since, found);
    return 1;
}

bool imap_hear(Connection* c, ReplyLine* line, const char* tag, const char* watch, ImapLine* kind,
               OnUntagged on_untagged, void* context)
{
    if (!connection_read_line(c, line, watch))
        return false;
    *kind = imap_line_kind(line->text, tag);
    if (*kind == ImapLine::untagged && !on_untagged(context, line))
        return false;
    for (size_t size; imap_literal_at_end(line->text, &size);)
        if (!connection_read_bytes(c, nullptr, size) || !connection_read_line(c, line, watch))
            return false;
    return true;
}

int imap_until(Connection* c, ReplyLine* line, const char* tag, ImapLine wanted, const char* watch,
               OnUntagged on_untagged, void* context)
{
    for (;;) {
        ImapLine kind;
        if (!imap_hear(c, line, tag, watch, &kind, on_untagged, context))
            return 0;
        if (kind == wanted)
            return 1;
        if (kind != ImapLine::untagged)
            return -1;
    }
}

void imap_logout(Connection* c)
{
    // The session is over for the server too; its answer, or none, changes nothing.
    static const char logout[] = "a3 LOGOUT\r\n";
    connection_send(c, logout, sizeof logout - 1);
}

int imap_command(Connection* c, HWND owner, const char* command, const char* tag, ImapLine wanted)
{
    ReplyLine line;
    return send_command(c, owner, command) && read_until(c, owner, &line, tag, wanted);
}

namespace {

// AUTHENTICATE with the token: the mechanisms from the capabilities before
// the login (the greeting's, else asked), the response on the command line
// where SASL-IR allows it. *capabilities: before, then the login's answer's.
int imap_authenticate(Connection* c, HWND owner, const Credentials& login, ReplyLine* line,
                      Capabilities* capabilities)
{
    if (!capabilities->listed
        && !(send_command(c, owner, "a0 CAPABILITY\r\n")
             && read_until(c, owner, line, "a0", ImapLine::ok, nullptr, capabilities)))
        return 0;
    const SaslMechanism mechanism = capabilities->oauthbearer && !capabilities->xoauth2 ? SaslMechanism::oauthbearer
                                                                                          : SaslMechanism::xoauth2;
    const char* command = mechanism == SaslMechanism::xoauth2 ? "a1 AUTHENTICATE XOAUTH2" : "a1 AUTHENTICATE OAUTHBEARER";
    const bool sent = capabilities->sasl_ir
        ? send_command(c, owner, command) && send_command(c, owner, " ")
        : send_command(c, owner, command) && send_command(c, owner, "\r\n")
            && read_until(c, owner, line, "a1", ImapLine::continuation);
    if (!sent || !send_sasl_response(c, owner, login, mechanism))
        return 0;
    *capabilities = {};
    auto note = [&](const ReplyLine* untagged) {
        note_capabilities(*untagged, capabilities);
        return true;
    };
    const int got = imap_until(c, line, "a1", ImapLine::continuation, IDLE_WORD, untagged_call(note), &note);
    if (got == 0)
        return receive_failed(c, owner, RECEIVE_FAILED_TEXT);
    if (got > 0)   // a challenge: the token was refused; the server's NO follows the answer
        return answer_challenge(c, owner, *line, mechanism) && read_until(c, owner, line, "a1", ImapLine::ok);
    const ImapLine kind = imap_line_kind(line->text, "a1");
    if (kind == ImapLine::ok) {
        note_capabilities(*line, capabilities);
        return 1;
    }
    signin_drop_access_token();
    return show_error(c, owner, kind == ImapLine::no || kind == ImapLine::bad ? line->text + 3 : RECEIVE_FAILED_TEXT);
}

} // namespace

int imap_login(Connection* c, HWND owner, const Credentials& login, bool* idle)
{
    const char* account = login.account;
    const char* password = login.password;
    Capabilities capabilities = {};
    ReplyLine line;
    if (!receive_line(c, owner, &line, IDLE_WORD))
        return 0;
    const char* text = line.text;
    switch (imap_greeting(text)) {
    case ImapGreeting::bye:
        return show_error(c, owner, text + 2);   // "BYE" and the server's reason
    case ImapGreeting::malformed:
        return show_error(c, owner, RECEIVE_FAILED_TEXT);
    case ImapGreeting::preauth:
        note_capabilities(line, &capabilities);   // already logged in: these are the ones that count
        break;
    case ImapGreeting::ok: {
        if (login.token != nullptr) {
            note_capabilities(line, &capabilities);
            if (!imap_authenticate(c, owner, login, &line, &capabilities))
                return 0;
            break;
        }
        if (imap_has_atom(text, "LOGINDISABLED"))
            return show_error(c, owner, "サーバーがパスワードでのログインを受け付けていません（LOGINDISABLED）");
        Outgoing out = {};
        put(&out, "a1 LOGIN ");
        if (!put_string(c, owner, &line, &out, "a1", account))
            return 0;
        put(&out, " ");
        if (!put_string(c, owner, &line, &out, "a1", password))
            return 0;
        put(&out, "\r\n");
        if (!flush(c, owner, &out) || !read_until(c, owner, &line, "a1", ImapLine::ok, nullptr, &capabilities))
            return 0;
        break;
    }
    }
    if (!capabilities.listed
        && !(send_command(c, owner, "a0 CAPABILITY\r\n")
             && read_until(c, owner, &line, "a0", ImapLine::ok, nullptr, &capabilities)))
        return 0;
    *idle = capabilities.idle;
    return 1;
}
