// What the POP3 and IMAP exchanges share: the error box with its support
// line, sending and receiving in the user's words, and the TLS handshake
// with its failure named, each on the connection it is given. Each returns
// 1, or 0 after its box (the connection then closed). Below both
// exchanges; calls only the connection.
#pragma once

#include <windows.h>

#include "mailcheck/connection/connection.h"
#include "mailcheck/server_address.h"
#include "signin/oauth_text.h"

constexpr const char* RECEIVE_FAILED_TEXT = "メールデータ受信に失敗";
// The owner of the push connection's exchanges: they show no box, and
// their support line begins "push:".
const HWND NO_BOX = HWND_MESSAGE;

int show_error(Connection* c, HWND owner, const char* text);
// A receive that failed: text, or the refused certificate of a re-handshake.
int receive_failed(Connection* c, HWND owner, const char* text);
// One whole line into *line, the word watch (nullptr: none) looked for in
// all of it (ReplyLine::watch_found).
int receive_line(Connection* c, HWND owner, ReplyLine* line, const char* watch = nullptr);
// 1 when the line was sent.
int send_command(Connection* c, HWND owner, const char* line);
// The handshake and the certificate's judgement on the open connection;
// name: the DNS name, nullptr for an address. Nothing of the login leaves
// before this has succeeded.
int start_tls(Connection* c, HWND owner, const char* name);

// How the login goes: the password, or a sign-in's access token.
struct Credentials {
    const char* account;
    const char* password;
    const char* token;   // nullptr: the password
    const char* host;    // the server's name and port: OAUTHBEARER names them
    uint16_t port;
    ULONGLONG renew_at;  // GetTickCount64: the token is renewed from then on
};
// The credentials for server (server_field: as typed) and account: on a
// sign-in server with the password empty, the access token (into token,
// TOKEN_SIZE), refreshed by the reply deadline as part of the check. 1, or
// 0 after the sign-in's box (the push connection's: its support line).
int credentials_for(Connection* c, HWND owner, const ServerAddress& server, const char* server_field,
                    const char* account, const char* password, char* token, Credentials* out);
// The client's SASL response for the token and its line end, sent.
int send_sasl_response(Connection* c, HWND owner, const Credentials& login, SaslMechanism mechanism);
// The server refused the token with a challenge (line): its status goes to
// the support line, the answer that ends the login is sent, and the next
// login refreshes the token first.
int answer_challenge(Connection* c, HWND owner, const ReplyLine& line, SaslMechanism mechanism);
