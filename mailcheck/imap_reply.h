// The IMAP side of a reply line, as far as the unread count needs it:
// greeting, tagged results, STATUS's UNSEEN count, and quoted strings.
// Portable: no windows.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum class ImapGreeting { ok, preauth, bye, malformed };

// "* OK …", "* PREAUTH …" or "* BYE …".
ImapGreeting imap_greeting(const char* line);

enum class ImapLine {
    untagged,       // "* …": read and skipped unless it is what was asked for
    continuation,   // "+ …": the server waits for a literal
    ok,             // the command's tagged end
    no,
    bad,
    other,          // another tag, or nothing IMAP knows
};

ImapLine imap_line_kind(const char* line, const char* tag);

// "* STATUS <mailbox> (… UNSEEN n … UIDNEXT m … UIDVALIDITY v …)": 1 and
// *count when the line is such a reply with a count from 0 to 2147483647,
// else 0; *uidnext the next UID and *uidvalidity the mailbox's validity
// when the server gave them (1 to 4294967295), else 0. The mailbox may be
// an atom or a quoted string; the items may come in any order.
int imap_status(const char* line, int32_t* count, uint32_t* uidnext, uint32_t* uidvalidity = nullptr);

// "* SEARCH 3 7 9 …": true for such a line, its UIDs merged into newest[],
// which keeps the largest *count of them (at most capacity), largest first.
bool imap_search_newest(const char* line, uint32_t* newest, int capacity, int* count);

// "* n FETCH (… UID u … {size}": true when the line is a FETCH response that
// announces a literal at its end; *uid (0 when not given) and its size.
bool imap_fetch_literal(const char* line, uint32_t* uid, size_t* size);
// The rest of a FETCH response after its literal (" UID 10)"): the UID when
// the server sent it there (data items come in any order).
bool imap_fetch_uid(const char* rest, uint32_t* uid);

// A line that ends in a literal's announcement "{size}": its size.
bool imap_literal_at_end(const char* line, size_t* size);

// "* OK [UIDNEXT u] …" (SELECT's and EXAMINE's): true and *uidnext.
bool imap_uidnext_code(const char* line, uint32_t* uidnext);

// "* n EXISTS", "* n EXPUNGE", "* n RECENT" or "* n FETCH (…)": the
// selected mailbox changed (a message came, went, or its flags changed).
bool imap_mailbox_changed(const char* line);

// Whether a capability or response-code atom stands in the line as a word
// of its own (case-insensitive), e.g. LOGINDISABLED.
bool imap_has_atom(const char* line, const char* atom);

// value as a quoted string ("…" with " and \ escaped) in out, terminated;
// its length, or 0 when a byte of it cannot be quoted (8-bit, CR, LF, NUL
// never are) or it does not fit: then it goes as a literal.
size_t imap_quote(char* out, size_t out_size, const char* value);
