// The POP3 exchange of a check over the open connection it is given.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/connection.h"
#include "mailcheck/exchange.h"
#include "mailcheck/pop3_reply.h"
#include "mailcheck/server_address.h"
#include "mailcheck/what_is_new.h"

// Greeting, STLS where the server field asks for it, the login (USER and
// PASS, or AUTH with the sign-in's token) and STAT, then what arrived since
// `last` (UIDL, without a box: whatever it answers, the count stands): into
// *found. 1, or 0 after its box.
int pop3_find(Connection* c, HWND owner, const ServerAddress& server, const Credentials& login,
              const MailboxMemory& last, Finding* found);
