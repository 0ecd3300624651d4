// What counts as new mail: what a mailbox held at the last check that ran
// to its end, and the rules that compare a check's findings with it. Every
// reason a notification is raised (or not) is here; the exchanges only ask
// the server what these rules need. Portable: no windows.h.
//
// - The first finding after the start, or after another server or account,
//   or an IMAP mailbox the server rebuilt (another UIDVALIDITY): all of its
//   mail is new.
// - POP3, by the messages' unique ids (UIDL): the ids of the newest messages
//   seen (SEEN_IDS of them, newest first) are remembered. The newest message
//   one of them: nothing arrived (messages may have gone). Otherwise the
//   messages after the newest one still listed arrived; none of them
//   listed: every message is new. Without UIDL, a count that rose.
// - IMAP, by UIDs: an unread message whose UID is at or above the next UID
//   remembered arrived; the next UID remembered is the larger of the
//   server's UIDNEXT and the highest UID seen plus one, so mail delivered
//   during a check is announced once. A server that would not search: a
//   next UID that grew. Without UIDs, a count that rose.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "mailcheck/header_text.h"
#include "mailcheck/pop3_reply.h"
#include "settings/user_settings.h"

// The newest POP3 ids remembered: deletions of more than this many between
// two checks make the rest look new (one notification too many, never one
// too few).
constexpr int SEEN_IDS = 20;
// The notification names at most this many messages.
constexpr int NOTICE_LINES = 3;

struct MailboxMemory {
    bool known;                     // a check ran to its end
    int32_t count;
    uint32_t uidnext;               // IMAP, 0 when unknown
    uint32_t uidvalidity;           // IMAP, 0 when the server gave none
    int seen;                       // POP3: ids in seen_ids, 0 when unknown
    char seen_ids[SEEN_IDS][UIDL_ID_SIZE];   // newest first
    char server[SETTING_TEXT_SIZE];
    char account[SETTING_TEXT_SIZE];
};

// What one check found: the value the notice, the notification and the
// chime are made from, and what the next check compares with.
struct Finding {
    int32_t count;                  // what the notice says: messages (POP3) or unread (IMAP)
    bool arrived;                   // mail came since the check before
    int described;                  // lines naming who wrote, newest first
    NoticeLine lines[NOTICE_LINES];
    MailboxMemory memory;           // what to remember once the check has ended well
};

// A finding of `count` on server and account, its memory started: the
// rules below fill in the rest.
void start_finding(Finding* f, int32_t count, const char* server, const char* account);

// Whether `last` was taken of the same mailbox: the same server and account
// and, over IMAP, no other UIDVALIDITY (0: not given).
bool same_mailbox(const MailboxMemory& last, const Finding& now);

// The rule without ids: a count that rose (or the first finding).
bool count_rose(const MailboxMemory& last, const Finding& now);

// POP3. No ids to compare with (the first finding, another mailbox, none
// remembered): the count rule, and the newest id remembered from now on.
void pop3_without_seen_ids(Finding* f, const MailboxMemory& last, const char* newest_id);
// Where id stands among the ids seen: 0 the newest, -1 not seen.
int seen_at(const MailboxMemory& last, const char* id);
// The newest message's id was one seen: nothing arrived; the ids from
// there on are remembered.
void pop3_nothing_arrived(Finding* f, const MailboxMemory& last, int at);
// The last newest is still at its number, below the newest: the ones after
// it arrived.
void pop3_arrived_at_end(Finding* f, const MailboxMemory& last, const char* newest_id);

// UIDL's whole list, walked entry by entry: where the newest seen id still
// listed stands, and the newest ids of the list for the next check.
struct IdWalk {
    int32_t last_seen_number;       // the highest number whose id was seen, 0: none
    int32_t entries;
    char ring[SEEN_IDS][UIDL_ID_SIZE];
};
void walk_entry(IdWalk* walk, const MailboxMemory& last, int32_t number, const char* id);
// The list has ended: what arrived, and the newest ids to remember.
void pop3_after_walk(Finding* f, const IdWalk& walk);

// IMAP. The next UID the next check compares with: UIDNEXT, or past the
// highest UID seen when mail came during the check; 0 while the server
// gives none.
uint32_t uidnext_to_remember(uint32_t uidnext, uint32_t highest_seen);
