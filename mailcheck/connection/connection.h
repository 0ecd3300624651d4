// The connection of one check: the server's name resolved (any family), its
// addresses tried side by side, the socket, the TLS channel, whole reply
// lines, the clocks that bound every wait, and the line a support person
// reads when a check fails. The exchanges (POP3, IMAP) call it; it knows
// nothing of them.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "mailcheck/connection/certificate_check.h"
#include "mailcheck/connection/reply_line.h"
#include "mailcheck/server_address.h"

// The longest command line an exchange sends in one piece (IMAP's LOGIN
// with two strings quoted at their longest).
constexpr size_t LONGEST_COMMAND = 1100;

// The socket of the check in progress; INVALID_SOCKET between checks.
extern SOCKET mail_socket;

// The time a connection has to be made and a reply to arrive whole after
// its command (the greeting: after the connection), and the time the whole
// check has from the connect to its last reply: a server that never
// answers, drips bytes or answers just in time must not freeze the program
// for longer. Process-wide values so the tests can shorten them.
extern DWORD mail_reply_time_ms;   // 30 s
extern DWORD mail_check_time_ms;   // 60 s

enum class Reach {
    connected,
    lookup_failed,    // the name resolved to nothing
    socket_failed,    // no socket could be made for any address
    unreachable,      // no address answered: no route, network down or timed out
    connect_failed,   // every address failed, at least one refused or reset
};

// Starts the whole check's clock and connects to the first address of
// server.host that answers. Then mail_socket is the connection.
Reach connection_open(const ServerAddress& server);
// Ends TLS with a close_notify while the connection is sound, and closes.
void connection_close();
// The handshake and the certificate's judgement on the open connection.
TlsFailure connection_start_tls(const ServerAddress& server);
// 1 when every byte went out; starts the clock of the reply to it.
int connection_send(const char* data, int length);
// One whole line into *line; 0 when the peer closed or failed, the reply's
// time ran out or the line grew past any reply's length first.
int connection_read_line(ReplyLine* line);
// Bytes received that no line has taken yet.
int connection_unread();
// Why the last receive failed, when it was a renewed handshake's certificate.
TlsFailure connection_tls_failure();

// For a support person's debug viewer: the step that failed and the
// system's own code for it; the last one noted is what the line says.
void note_failure(const char* step, unsigned long code);
// "Quillbeam: check failed at <step>, code 0x…" (and the server's address
// once one was connected, and the remark if any), on the debugger's output.
void write_support_line(const char* remark = nullptr);
