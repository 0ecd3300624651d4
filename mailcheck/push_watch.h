// The push connection over IMAP: after a successful check whose server
// offers IDLE, one more connection of its own idles in the inbox on a
// thread of its own and posts a message to the main window when the inbox
// changes, so that a check runs at once. It never shows anything and never
// touches a window, an icon or the settings: what the user sees comes from
// the checks. Its connection, copies of the settings and events are its
// own: the check never waits for it, and the window thread waits for it
// only as long as it says. Once it has ended, the next successful check
// opens a new one (at most one attempt per check).
#pragma once

#include <windows.h>

#include <stdint.h>

// How long one IDLE lasts before it is renewed (DONE, then IDLE again), and
// how long the server has to answer DONE. Process-wide so the tests can
// shorten them.
extern DWORD push_renew_ms;   // 9 minutes
extern DWORD push_done_ms;    // 60 s

// Opens it, unless one is open, with its own copy of the server, account
// and password; it posts `message` to `window` when the inbox changed (once
// until push_take_news), also when the inbox's next UID is no longer
// seen_uidnext (what the check that opens it saw; 0: unknown) by the time
// it is there.
void push_start(HWND window, UINT message, uint32_t seen_uidnext);
// Closes it (DONE and LOGOUT, best effort) and waits at most wait_ms for
// every push thread to end: true when all of them have (their threads
// returned: nothing of Winsock is in use by them). One that has not ended
// is left to end by itself (it holds nothing the program needs; a new one
// may open beside it).
bool push_stop(DWORD wait_ms);
// Whether the inbox changed since the last call, by the news message's
// wParam: news from any push connection but the one open now is none.
bool push_take_news(WPARAM news_generation);
// The network changed: it renews its IDLE at once, and ends when the
// server does not answer (its network is gone).
void push_network_changed();
