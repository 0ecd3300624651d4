// The socket of the check in progress and the clocks that bound every wait
// on it. Below the channel and the connection; above only the support line.
#pragma once

#include <winsock2.h>
#include <windows.h>

// The longest command line an exchange sends in one piece (IMAP's LOGIN
// with two strings quoted at their longest).
constexpr size_t LONGEST_COMMAND = 1100;

// The socket of the connection in use (a check's, or the push connection's
// while it reads); INVALID_SOCKET when none is.
extern SOCKET mail_socket;

// The time a connection has to be made and a reply to arrive whole after
// its command (the greeting: after the connection), and the time the whole
// check has from the connect to its last reply: a server that never
// answers, drips bytes or answers just in time must not freeze the program
// for longer. Process-wide values so the tests can shorten them.
extern DWORD mail_reply_time_ms;   // 30 s
extern DWORD mail_check_time_ms;   // 60 s

// Starts the whole check's clock: it ends `time` from now.
void start_check_clock(DWORD time);
// Now plus `time`, but no later than the end of the whole check.
DWORD bounded_deadline(DWORD time);
bool past(DWORD deadline);

// Takes s as the check's socket: blocking, with the reply time as its
// send and receive time-outs.
void socket_take(SOCKET s);
// One recv that ends by the deadline (a GetTickCount value), give or take
// a second; what it got, or 0 or less with the failure noted.
int socket_receive(char* out, int size, DWORD deadline);
// 1 when every byte went out, else 0 with the failure noted.
int socket_send(const char* data, int length);
void socket_close();
