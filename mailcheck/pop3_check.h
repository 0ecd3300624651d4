// The POP3 exchange of a check over the open connection.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "mailcheck/server_address.h"

// Greeting, STLS where the server field asks for it, USER, PASS and STAT:
// the message count into *count. 1, or 0 after its box.
int pop3_stat(HWND owner, const ServerAddress& server, int32_t* count);
// 1 when a whole reply line came and begins with '+'; anything else is the
// server's refusal (or no POP3 at all), shown in its own words.
int read_reply(HWND owner);
