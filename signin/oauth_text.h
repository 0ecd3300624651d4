// The texts of signing in with OAuth2: base64, the few JSON members a token
// endpoint answers with, the SASL responses (XOAUTH2, OAUTHBEARER) and a
// failed login's challenge, the form posted to the token endpoint, and the
// providers the program knows. Portable: no windows.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Access tokens of Microsoft run to 3 KB, refresh tokens near 2 KB.
constexpr size_t TOKEN_SIZE = 4096;
constexpr size_t OAUTH_URL_SIZE = 512;
constexpr size_t OAUTH_TEXT_SIZE = 256;   // client id and secret, tenant, scope

// Standard base64 with padding, or (url) the URL alphabet without it, of
// length bytes into out, terminated: its length, 0 when it does not fit.
size_t base64_encode(const void* data, size_t length, char* out, size_t capacity, bool url = false);
// Standard base64 (padding optional, no white space) into out: the number
// of bytes, or -1 when the text is not base64 or does not fit. (The
// header text's B encoding is read by it too.)
long base64_decode(const char* text, size_t length, uint8_t* out, size_t capacity);

// The string member key of the top-level JSON object, unescaped (\uXXXX
// only below 0x80), into out: false when there is none, it is no string or
// does not fit.
bool json_text(const char* json, size_t length, const char* key, char* out, size_t capacity);
// The member key as a whole number (0 to 2^31-1), written as a number or as
// a string of digits (both are seen in expires_in).
bool json_number(const char* json, size_t length, const char* key, long* value);

// A hexadecimal digit's value, -1 for any other byte.
int hex_value(char c);

enum class SaslMechanism { xoauth2, oauthbearer };
// The longest response, base64, with its line end.
constexpr size_t SASL_RESPONSE_SIZE = (TOKEN_SIZE + 3 * OAUTH_URL_SIZE + 2) / 3 * 4 + 3;
// The client's first response, base64, terminated: its length, 0 when it
// does not fit. host and port only go into OAUTHBEARER's.
size_t sasl_response(SaslMechanism mechanism, const char* account, const char* host, unsigned port,
                     const char* token, char* out, size_t capacity);
// A failed login's challenge, "+ <base64 JSON>" (or the bare base64): the
// JSON's "status" ("401", "invalid_token") into out. False when the line
// holds none.
bool sasl_challenge_status(const char* line, char* out, size_t capacity);
// What the client answers to that challenge so the server ends the login
// with its own failure: an empty line, or OAUTHBEARER's "\x01".
inline const char* sasl_challenge_answer(SaslMechanism mechanism)
{
    return mechanism == SaslMechanism::xoauth2 ? "\r\n" : "AQ==\r\n";
}

// "&key=value", value percent-encoded, appended to the terminated out
// (without the "&" when out is empty). False, out unchanged, when it does
// not fit.
bool form_add(char* out, size_t capacity, const char* key, const char* value);

// Why signing in or refreshing did not give a token, as the user is told.
enum class SigninError {
    none,
    denied,              // cancelled or refused in the browser
    admin_approval,      // the organisation's administrator must approve the program
    work_account_only,   // a personal account where only work accounts may sign in
    network,             // the sign-in service could not be reached
    expired,             // the sign-in ran out or was revoked: sign in again
    no_client_id,        // this build has no client id for the provider
    not_signed_in,       // no stored sign-in for this server and account
    refused,             // any other answer of the provider
    gave_up,             // the browser's sign-in did not end in time
    cancelled,           // the user pressed Cancel: nothing to say
};

// A token endpoint's answer.
struct TokenAnswer {
    char access_token[TOKEN_SIZE];
    char refresh_token[TOKEN_SIZE];   // empty: the old one stays good
    long expires_in;                  // seconds; 0 when not given
    SigninError error;
};
// Reads the JSON body of a token endpoint's answer into *answer: a token,
// or the error the user is told (never the provider's text).
void read_token_answer(const char* json, size_t length, TokenAnswer* answer);
// The error an "error" (and "error_description") from the provider means.
SigninError signin_error_of(const char* error, const char* description);

enum class Provider { other, microsoft, google };
// The provider whose mail servers these are, by the host as typed.
Provider known_provider(const char* host);

// What a sign-in needs to know of its provider.
struct OAuthSetup {
    char client_id[OAUTH_TEXT_SIZE];
    char client_secret[OAUTH_TEXT_SIZE];
    char tenant[OAUTH_TEXT_SIZE];
    char authorize_url[OAUTH_URL_SIZE];
    char token_url[OAUTH_URL_SIZE];
    char scope[OAUTH_TEXT_SIZE];
};
// Fills what oauth.ini left empty (*setup as read from it) from what the
// program knows of the provider: its endpoints (Microsoft's for the
// tenant, "common" unless given), its scope for POP3 or IMAP, and the
// client ids this build was made with.
void complete_setup(Provider provider, bool imap, OAuthSetup* setup);
// Endpoints are https, or http on a loopback host (the tests' server).
bool acceptable_endpoint(const char* url);

// The authorize page's address for the authorization-code flow with PKCE
// (S256): setup's authorize_url with the request's parameters, the account
// as login_hint. False when it does not fit.
bool authorize_address(const OAuthSetup& setup, const char* redirect, const char* state, const char* challenge,
                       const char* account, char* out, size_t capacity);

// Authorization codes run to about 1.5 KB.
constexpr size_t CODE_SIZE = 2048;
// What the browser brought to the loopback listener.
struct Redirect {
    enum Kind { other, with_code, with_error } kind;   // other: not the sign-in's (answered 400)
    char code[CODE_SIZE];
    SigninError error;
};
// The head of one HTTP request, "GET /?code=…&state=… HTTP/1.1…": a code
// or an error only when it is a GET of "/" and its state is state.
void read_redirect(const char* request, const char* state, Redirect* out);
