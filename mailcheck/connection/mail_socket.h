// A connection's socket and the clocks that bound every wait on it. Below
// the channel and the connection; above only the support line.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "mailcheck/connection/support_line.h"

// The longest command line an exchange sends in one piece (IMAP's LOGIN
// with two strings quoted at their longest).
constexpr size_t LONGEST_COMMAND = 1100;

// The time a connection has to be made and a reply to arrive whole after
// its command (the greeting: after the connection), and the time the whole
// check has from the connect to its last reply: a server that never
// answers, drips bytes or answers just in time must not freeze the program
// for longer. Process-wide values so the tests can shorten them.
extern DWORD mail_reply_time_ms;   // 30 s
extern DWORD mail_check_time_ms;   // 60 s

// All zero is a socket closed, with no step noted.
struct MailSocket {
    bool open;
    SOCKET handle;
    DWORD check_deadline;    // the whole check's end
    DWORD receive_timeout;   // what the socket's receive time-out is now
    SupportLine support;
};

// Starts the whole check's clock: it ends `time` from now.
void start_check_clock(MailSocket* socket, DWORD time);
// Now plus `time`, but no later than the end of the whole check.
DWORD bounded_deadline(const MailSocket* socket, DWORD time);
bool past(DWORD deadline);

// Takes s as the connection's socket: blocking, with the reply time as its
// send and receive time-outs.
void socket_take(MailSocket* socket, SOCKET s);
// One recv that ends by the deadline (a GetTickCount value), give or take
// a second; what it got, or 0 or less with the failure noted.
int socket_receive(MailSocket* socket, char* out, int size, DWORD deadline);
// 1 when every byte went out, else 0 with the failure noted.
int socket_send(MailSocket* socket, const char* data, int length);
void socket_close(MailSocket* socket);
