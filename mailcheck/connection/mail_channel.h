// A connection's bytes on their way to and from the server: as they are,
// or through TLS with the system's own Schannel. No receive waits past the
// deadline it is given.
#pragma once

#include <winsock2.h>
#include <windows.h>

#define SECURITY_WIN32
#include <security.h>

#include "mailcheck/connection/certificate_check.h"
#include "mailcheck/connection/mail_socket.h"
#include "settings/user_settings.h"

constexpr size_t TLS_HEADER_SIZE = 5;
// The largest record: 16 KiB of data with its padding and tag, and the header.
constexpr size_t TLS_RECORD_SIZE = 16384 + 2048 + TLS_HEADER_SIZE;
constexpr size_t SEALED_COMMAND_SIZE = LONGEST_COMMAND + 512;   // with a record's header and trailer

enum class Carrying {
    plain,    // bytes as they are (before STLS, or no TLS at all)
    tls,      // established and the certificate accepted
    failed,   // TLS was started and did not hold: nothing goes either way
};

// The socket, its TLS session, and what it received and did not yet hand
// out. All zero is a fresh, plain channel on no socket.
struct MailChannel {
    MailSocket socket;
    bool have_credentials;
    bool have_context;
    bool established;      // the handshake finished: a close_notify is due at the end
    bool broken;           // a send or receive failed: nothing more is sent
    bool raw_incomplete;   // what raw holds is only the start of a record (a receive without waiting)
    Carrying carrying;
    TlsFailure failure;    // why a renewed handshake was refused
    CredHandle credentials;
    CtxtHandle context;
    SecPkgContext_StreamSizes sizes;
    char name[SETTING_TEXT_SIZE];   // SNI and the name judged; empty for an address
    const sockaddr* address;        // the address connected
    PCCERT_CONTEXT judged;          // the certificate accepted, to know it again
    size_t raw_length;              // received ciphertext not yet decrypted
    size_t plain_begin;             // decrypted bytes not yet handed out
    size_t plain_end;
    char raw[TLS_RECORD_SIZE];
    char plain[TLS_RECORD_SIZE];
    char sealed[SEALED_COMMAND_SIZE];
};

// A fresh channel on its socket, plain.
void channel_reset(MailChannel* channel);
// Ends TLS, if any, with a close_notify while the connection is sound; the
// caller closes the socket.
void channel_close(MailChannel* channel);
// 1 when every byte went out.
int channel_send(MailChannel* channel, const char* data, int length);
// Bytes received (decrypted under TLS), at most size; 0 when the peer
// closed or failed, the deadline (a GetTickCount value) passed first, or a
// renewed handshake presented a certificate that is refused (then
// channel->failure says why). Without `wait`: one receive only, and -1
// when the records it brought held no data (a TLS session ticket or key
// update, taken care of).
int channel_receive(MailChannel* channel, char* out, int size, DWORD deadline, bool wait = true);
// The TLS handshake on the socket and the judgement of the server's
// certificate, all before deadline. name: the DNS name, nullptr for a
// server given as an address (sent as no SNI, judged against `address`,
// the one connected).
TlsFailure channel_start_tls(MailChannel* channel, const char* name, const sockaddr* address, DWORD deadline);
// Bytes received and not yet handed out, decrypted or whole records not
// yet decrypted.
int channel_unread(const MailChannel* channel);
