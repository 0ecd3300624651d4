// What the POP server field says: host, port and whether the connection is
// secured. Portable: no windows.h.
//   pop.example.jp                 plain POP3, port 110 (the text as it stands)
//   pop.example.jp:1110            plain POP3 on that port
//   pop.example.jp:995             TLS from the first byte
//   pop3s://host[:port]            TLS from the first byte, port 995 unless given
//   starttls://host[:port]         plain connect (110), STLS, then TLS
//   imaps://host[:port], host:993  IMAP over TLS (993 unless given): the unseen
//                                  messages of the inbox instead of STAT's count
// In every form but the first the host may be an IPv6 address in brackets,
// [2001:db8::1]; a zone (%) is refused, it names an interface of this PC.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "settings/user_settings.h"

constexpr int POP3S_PORT = 995;
constexpr int IMAPS_PORT = 993;

enum class Security { plain, implicit_tls, starttls };
enum class Protocol { pop3, imap };

struct ServerAddress {
    char host[SETTING_TEXT_SIZE];   // as written: what the resolver gets
    char name[SETTING_TEXT_SIZE];   // host without one trailing dot: SNI and the certificate's name
    uint16_t port;
    Security security;
    Protocol protocol;
    bool literal;   // host is an address (dotted IPv4 or IPv6): no SNI, judged by address
};

// 1 and *out filled when the text fits one of the forms above, else 0.
int parse_server_address(const char* text, ServerAddress* out);

// Four decimal parts of 0 to 255 joined by dots, without leading zeros: an
// IPv4 address, whose certificate names it as an address rather than as a
// DNS name. (With a leading zero the resolver would read a part as octal.)
bool is_dotted_ipv4(const char* host);
// An IPv6 address in any of its text forms (RFC 4291 section 2.2), without a zone.
bool is_ipv6_address(const char* text);
