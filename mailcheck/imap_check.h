// The IMAP exchange over the open, secured connection it is given.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/connection.h"
#include "mailcheck/header_text.h"
#include "mailcheck/imap_reply.h"

// Greeting and LOGIN (none after PREAUTH). *idle: the server lists IDLE
// among its capabilities once logged in (asked for when the login's answer
// listed none). 1, or 0 after its box.
int imap_login(Connection* c, HWND owner, const char* account, const char* password, bool* idle);
// STATUS: the unseen messages of the inbox into *count, the next UID into
// *uidnext and the mailbox's UIDVALIDITY into *uidvalidity (0 when the
// server gives none). 1, or 0 after its box.
int imap_unseen(Connection* c, HWND owner, int32_t* count, uint32_t* uidnext, uint32_t* uidvalidity);
// A command and its lines up to its tagged OK, or up to the server's
// go-ahead when wanted is ImapLine::continuation; untagged lines skipped.
int imap_command(Connection* c, HWND owner, const char* command, const char* tag, ImapLine wanted);
// Who wrote the newest unread messages and about what, newest first, into
// lines (at most three), among the UIDs just below uidnext (when known):
// their number, or 0 when the server would not say. *arrived: 1 when one
// of them has a UID at or above since (new since the check that saw that
// next UID), 0 when none has (then nobody is described), -1 when the
// server would not say. Never a box, never a message marked \Seen.
int imap_newest(Connection* c, NoticeLine* lines, int capacity, uint32_t uidnext, uint32_t since, int* arrived);
// The end of the session, best effort.
void imap_logout(Connection* c);
