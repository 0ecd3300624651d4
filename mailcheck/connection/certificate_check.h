// The judgement of a server's certificate before anything of the login
// leaves: chain, revocation, dates and name. The chain and the address are
// judged here; a DNS name is matched by the system's own policy check.
#pragma once

#include <winsock2.h>
#include <windows.h>
// The chain request's URL retrieval time-out is declared only under this name.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <wincrypt.h>

#include "mailcheck/connection/support_line.h"

// Why a secure connection could not be made, for the error box.
enum class TlsFailure {
    none,
    not_tls,         // the server does not speak TLS on that port
    handshake,       // the handshake failed, stalled or was cut off
    untrusted,       // no trusted chain to a root of the system's store
    name_mismatch,   // the certificate names another server
    expired,         // past its end date
    not_yet_valid,   // before its start date (usually the PC's clock)
    revoked,         // its issuer has revoked it
};

// name: the DNS name the user wrote, or nullptr when the server was given
// as an address; then `address` (the one connected, IPv4 or IPv6) must be
// among the certificate's addresses. Every fetch over the network (missing
// issuers, root updates, revocation lists) ends by deadline, a GetTickCount
// value; a revocation status that cannot be had in time is no reason to
// refuse (best effort, unlike a strict check). What failed goes to support.
TlsFailure judge_certificate(PCCERT_CONTEXT certificate, const char* name, const sockaddr* address,
                             DWORD deadline, SupportLine* support);
