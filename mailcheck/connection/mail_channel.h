// The check's bytes on their way to and from the server: as they are, or
// through TLS with the system's own Schannel. The channel works on
// mail_socket; no receive waits past the deadline it is given.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "mailcheck/connection/certificate_check.h"

// A fresh channel on mail_socket, plain.
void channel_reset();
// Ends TLS, if any, with a close_notify while the connection is sound; the
// caller closes the socket.
void channel_close();
// 1 when every byte went out.
int channel_send(const char* data, int length);
// Bytes received (decrypted under TLS), at most size; 0 when the peer
// closed or failed, the deadline (a GetTickCount value) passed first, or a
// renewed handshake presented a certificate that is refused (then
// channel_failure says why).
int channel_receive(char* out, int size, DWORD deadline);
// The TLS handshake on mail_socket and the judgement of the server's
// certificate, all before deadline. name: the DNS name, nullptr for a
// server given as an address (sent as no SNI, judged against `address`,
// the one connected).
TlsFailure channel_start_tls(const char* name, const sockaddr* address, DWORD deadline);
// The session moved aside while the long-lived connection (the push
// connection) waits with nothing unread, and the channel left fresh for a
// check; and back.
void channel_park();
void channel_unpark();
// Bytes received and not yet handed out, decrypted or not.
int channel_unread();
// Why the last receive failed, when it was the certificate.
TlsFailure channel_failure();
