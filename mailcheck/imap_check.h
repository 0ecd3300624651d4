// The IMAP exchange over the open, secured connection it is given.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/connection.h"
#include "mailcheck/header_text.h"
#include "mailcheck/imap_reply.h"
#include "mailcheck/what_is_new.h"

// Greeting and LOGIN (none after PREAUTH). *idle: the server lists IDLE
// among its capabilities once logged in (asked for when the login's answer
// listed none). 1, or 0 after its box.
int imap_login(Connection* c, HWND owner, const char* account, const char* password, bool* idle);
// STATUS (the unseen count, UIDNEXT, UIDVALIDITY) and what arrived since
// `last`; when unread mail did, who wrote the newest of it: into *found.
// 1, or 0 after its box (only STATUS's failures have one).
int imap_find(Connection* c, HWND owner, const MailboxMemory& last, Finding* found);
// A command and its lines up to its tagged OK, or up to the server's
// go-ahead when wanted is ImapLine::continuation; untagged lines skipped.
int imap_command(Connection* c, HWND owner, const char* command, const char* tag, ImapLine wanted);
// The end of the session, best effort.
void imap_logout(Connection* c);
