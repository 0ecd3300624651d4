// The IMAP exchange over the open, secured connection it is given.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/connection.h"
#include "mailcheck/exchange.h"
#include "mailcheck/header_text.h"
#include "mailcheck/imap_reply.h"
#include "mailcheck/what_is_new.h"

// Greeting and LOGIN, or AUTHENTICATE with the sign-in's token (none after
// PREAUTH). *idle: the server lists IDLE among its capabilities once logged
// in (asked for when the login's answer listed none). 1, or 0 after its box.
int imap_login(Connection* c, HWND owner, const Credentials& login, bool* idle);
// STATUS (the unseen count, UIDNEXT, UIDVALIDITY) and what arrived since
// `last`; when unread mail did, who wrote the newest of it: into *found.
// 1, or 0 after its box (only STATUS's failures have one).
int imap_find(Connection* c, HWND owner, const MailboxMemory& last, Finding* found);
// A command and its lines up to its tagged OK, or up to the server's
// go-ahead when wanted is ImapLine::continuation; untagged lines skipped.
int imap_command(Connection* c, HWND owner, const char* command, const char* tag, ImapLine wanted);
// The one reader of IMAP responses, for the check and the push connection.
// One line into *line (the word watch, nullptr: none, looked for in all of
// it) and the literals it announces: an untagged line goes to
// on_untagged(context, line) first, which may read the literal its line
// announces and the rest of the line (false: stop); a literal still
// announced then is read and dropped. *kind: the line's kind. False when
// the connection failed or on_untagged said stop; nothing is shown.
typedef bool (*OnUntagged)(void* context, ReplyLine* line);
bool imap_hear(Connection* c, ReplyLine* line, const char* tag, const char* watch, ImapLine* kind,
               OnUntagged on_untagged, void* context);
// Lines up to the one wanted (the tagged OK, or the go-ahead for a
// literal), each through imap_hear: 1 there; 0 when the connection failed
// or on_untagged said stop; -1 at any other tagged line (NO, BAD) or one
// IMAP does not know, which is left in *line.
int imap_until(Connection* c, ReplyLine* line, const char* tag, ImapLine wanted, const char* watch,
               OnUntagged on_untagged, void* context);
// The end of the session, best effort.
void imap_logout(Connection* c);
