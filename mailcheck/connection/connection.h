// One connection to a mail server: the server's name resolved (any
// family), its addresses tried side by side, the TLS channel on top, and
// whole reply lines. Its state is a value its user owns (the check has
// one, the push connection its own), so no connection ever waits for
// another. The exchanges (POP3, IMAP) call it; it knows nothing of them,
// nor of the server field: it takes a host and a port.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/certificate_check.h"
#include "mailcheck/connection/mail_channel.h"
#include "mailcheck/connection/mail_socket.h"
#include "mailcheck/connection/reply_line.h"
#include "mailcheck/connection/support_line.h"

enum class Reach {
    connected,
    lookup_failed,    // the name resolved to nothing
    socket_failed,    // no socket could be made for any address
    unreachable,      // no address answered: no route, network down or timed out
    connect_failed,   // every address failed, at least one refused or reset
};

// All zero is a connection closed. Large (the TLS buffers): a process-wide
// variable or a thread's own, never copied.
struct Connection {
    MailChannel channel;
    // Received bytes not yet taken by a line: a line is complete only at
    // its LF, and whatever came after it belongs to the next one.
    char receive_buffer[REPLY_BUFFER_SIZE - 1];
    int receive_begin;
    int receive_end;
    // A reply must be whole by this time, never later than the check's end:
    // a server that drips bytes without a line end would otherwise hold the
    // program in recv for good.
    DWORD reply_deadline;
    sockaddr_storage connected;   // the address that answered
    bool only_unreachable;        // no address answered at all, not even with a refusal
};

inline SupportLine* connection_support(Connection* c) { return &c->channel.socket.support; }

// Closes what c had open, starts the whole check's clock and connects to
// the first address of host that answers.
Reach connection_open(Connection* c, const char* host, uint16_t port);
// Ends TLS with a close_notify while the connection is sound, and closes;
// nothing when it is closed.
void connection_close(Connection* c);
bool connection_is_open(const Connection* c);
// The handshake and the certificate's judgement on the open connection.
// name: the DNS name (sent as SNI and judged), nullptr for a server given
// as an address (judged by the address connected).
TlsFailure connection_start_tls(Connection* c, const char* name);
// 1 when every byte went out; starts the clock of the reply to it.
int connection_send(Connection* c, const char* data, int length);
// One whole line into *line, the word watch (nullptr: none) looked for in
// all of it; 0 when the peer closed or failed, the reply's time ran out or
// the line grew past any reply's length first.
int connection_read_line(Connection* c, ReplyLine* line, const char* watch = nullptr);
// Exactly size bytes (an IMAP literal) into out (nowhere when out is
// nullptr: skipped), by the reply's deadline.
int connection_read_bytes(Connection* c, char* out, size_t size);
// After connection_wait said the server sent something: false when it was
// no data for a reader (a TLS session ticket or key update, taken care of),
// and the wait should go on; true when a read has something to take (or
// finds the connection's end).
bool connection_settle(Connection* c);
// Bytes received that no line has taken yet, here or in the TLS channel
// (decrypted or not): the socket signals none of them again.
int connection_unread(const Connection* c);
// A connection that outlives a check: what is read until the next send
// must be whole within `time` from now.
void connection_allow(Connection* c, DWORD time);
// Why the last receive failed, when it was a renewed handshake's certificate.
TlsFailure connection_tls_failure(const Connection* c);
// Waits with no CPU until the server has sent something (count, also when
// bytes are already unread) or one of events is set (its index), at most
// `time` ms (WAIT_TIMEOUT). socket_event: an auto-reset event of the
// caller's; at most MAXIMUM_WAIT_OBJECTS - 1 events. The socket is blocking
// again afterwards.
DWORD connection_wait(Connection* c, HANDLE socket_event, const HANDLE* events, DWORD count, DWORD time);
// TCP keep-alive: a probe after idle_ms of silence, then every probe_ms.
void connection_keep_alive(Connection* c, DWORD idle_ms, DWORD probe_ms);
