// The POP3 exchange of a check over the open connection it is given.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/connection.h"
#include "mailcheck/pop3_reply.h"
#include "mailcheck/server_address.h"

// Greeting, STLS where the server field asks for it, USER, PASS and STAT:
// the message count into *count. 1, or 0 after its box.
int pop3_stat(Connection* c, HWND owner, const ServerAddress& server, int32_t* count);
// Whether mail arrived since the last check, by the messages' unique ids
// (UIDL), after a successful STAT of count messages: 1 it did, 0 it did
// not, -1 the server would not say (or last_id is empty). newest_id (of
// UIDL_ID_SIZE) gets the newest message's id, "" when unknown. "UIDL n"
// answers the common cases; the whole list is asked only when the last
// newest (last_id, then the last of last_count) is no longer at its number.
int pop3_arrivals(Connection* c, int32_t count, const char* last_id, int32_t last_count, char* newest_id);
// 1 when a whole reply line came (into c->line) and begins with '+';
// anything else is the server's refusal (or no POP3 at all), shown in its
// own words.
int read_reply(Connection* c, HWND owner);
