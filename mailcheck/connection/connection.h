// The connection of one check (or of the push connection, while it reads):
// the server's name resolved (any family), its addresses tried side by
// side, the TLS channel on top, and whole reply lines. The exchanges (POP3,
// IMAP) call it; it knows nothing of them, nor of the server field: it
// takes a host and a port.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/certificate_check.h"
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

// Waits for the room (see connection_park), starts the whole check's clock
// and connects to the first address of host that answers. Then mail_socket
// is the connection, until connection_close leaves the room.
Reach connection_open(const char* host, uint16_t port);
// Ends TLS with a close_notify while the connection is sound, and closes;
// nothing when this thread has no connection open.
void connection_close();
// The open connection, with nothing unread, moved aside while it waits
// (the push connection's), the room left free for a check: its socket.
// Only one connection is ever parked.
SOCKET connection_park();
// The parked connection back in the room, once no check uses it; its
// socket blocking again.
void connection_unpark(SOCKET s);
// The handshake and the certificate's judgement on the open connection.
// name: the DNS name (sent as SNI and judged), nullptr for a server given
// as an address (judged by the address connected).
TlsFailure connection_start_tls(const char* name);
// 1 when every byte went out; starts the clock of the reply to it.
int connection_send(const char* data, int length);
// One whole line into *line; 0 when the peer closed or failed, the reply's
// time ran out or the line grew past any reply's length first.
int connection_read_line(ReplyLine* line);
// Exactly size bytes (an IMAP literal) into out, by the reply's deadline.
int connection_read_bytes(char* out, size_t size);
// Bytes received that no line has taken yet, here or in the TLS channel
// (decrypted or not): the socket signals none of them again.
int connection_unread();
// A connection that outlives a check: what is read until the next send
// must be whole within `time` from now.
void connection_allow(DWORD time);
// Why the last receive failed, when it was a renewed handshake's certificate.
TlsFailure connection_tls_failure();
