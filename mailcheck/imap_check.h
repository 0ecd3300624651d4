// The IMAP exchange of a check over the open, secured connection.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "mailcheck/header_text.h"

// Greeting, login and STATUS: the unseen messages of the inbox into *count
// and the next UID into *uidnext (0 when the server gives none). 1, or 0
// after its box.
int imap_unseen(HWND owner, int32_t* count, uint32_t* uidnext);
// Who wrote the newest unread messages and about what, newest first, into
// lines (at most three), among the UIDs just below uidnext (when known):
// their number, or 0 when the server would not say. Never a box, never a
// message marked \Seen.
int imap_newest(NoticeLine* lines, int capacity, uint32_t uidnext);
// The end of the session, best effort.
void imap_logout();
