// Signing in with OAuth2 for the mail server's login: which servers sign
// in, the provider's endpoints and client (oauth.ini beside user.ini may set
// them per server name), and the access token, kept in memory and
// refreshed through the stored refresh token. Called by the check and the
// push connection; one refresh at a time between them (a rotating refresh
// token used twice can lose the sign-in). Win32 side.
#pragma once

#include <windows.h>

#include "signin/oauth_text.h"

// A server whose empty password means sign-in: a provider the program
// knows, or a section of oauth.ini. host: as typed, without scheme or port.
bool signin_host(const char* host);
// Whose token: the server field as typed (a sign-in holds for it and the
// account alone: another server or protocol signs in again), its host, the
// account, and whether it is IMAP (Microsoft's scope differs).
struct SigninFor {
    const char* server;
    const char* host;
    const char* account;
    bool imap;
};
// The access token into token (TOKEN_SIZE), refreshed when it is near its
// end, by deadline (a GetTickCount value); every refresh stores the refresh
// token the provider returns. A sign-in that ran out or was revoked is
// forgotten: nothing asks again until the user signs in again.
// *renew_at (may be nullptr): from when on (GetTickCount64) the token is
// renewed, a few minutes before its end.
SigninError signin_access_token(const SigninFor& who, DWORD deadline, char* token, ULONGLONG* renew_at = nullptr);
// What signing in for who needs of its provider (oauth.ini's section for
// the host, then what the program knows): none, no_client_id, or refused
// for an endpoint neither https nor on this computer.
SigninError signin_setup(const SigninFor& who, OAuthSetup* setup);
// The browser's code for tokens (PKCE's verifier, the redirect it went to),
// by deadline: the sign-in is stored and its access token kept.
SigninError signin_exchange_code(const SigninFor& who, const OAuthSetup& setup, const char* code,
                                 const char* verifier, const char* redirect, DWORD deadline);
// A sign-in is stored for this server and account.
bool signin_stored_for(const char* server, const char* account);
// The server refused the token: the next check refreshes first.
void signin_drop_access_token();
// The one sentence the user is told.
const char* signin_error_text(SigninError error);
