// The check's bytes on their way to and from the server: as they are, or
// through TLS with the system's own Schannel. The channel works on
// mail_socket; every receive waits no longer than the deadline it is given.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Why a secure connection could not be made, for the error box.
enum class TlsFailure {
    none,
    not_tls,         // the server does not speak TLS on that port
    handshake,       // the handshake failed, stalled or was cut off
    untrusted,       // no trusted chain to a root of the system's store
    name_mismatch,   // the certificate names another server
    expired,         // outside its dates
};

// A fresh channel on mail_socket, plain; the socket's receive time-out is
// MAIL_SOCKET_TIMEOUT_MS.
void channel_reset();
// Ends TLS, if any; the caller closes the socket.
void channel_close();
// 1 when every byte went out.
int channel_send(const char* data, int length);
// Bytes received (decrypted under TLS), at most size; 0 when the peer
// closed or failed or the deadline (a GetTickCount value) passed first.
int channel_receive(char* out, int size, DWORD deadline);
// The TLS handshake on mail_socket and the check of the server's
// certificate against host, all before deadline.
TlsFailure channel_start_tls(const char* host, DWORD deadline);
