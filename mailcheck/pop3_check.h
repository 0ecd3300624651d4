// The POP3 exchange of a check over the open connection it is given.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/connection.h"
#include "mailcheck/server_address.h"

// Greeting, STLS where the server field asks for it, USER, PASS and STAT:
// the message count into *count. 1, or 0 after its box.
int pop3_stat(Connection* c, HWND owner, const ServerAddress& server, int32_t* count);
// 1 when a whole reply line came (into c->line) and begins with '+';
// anything else is the server's refusal (or no POP3 at all), shown in its
// own words.
int read_reply(Connection* c, HWND owner);
