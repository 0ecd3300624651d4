// Socket library start-up and the POP3 status check (Win32 side).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "mailcheck/connection/connection.h"

int start_network(HWND owner);
// The last check could not reach its server and this computer had no usable
// network: it showed nothing and returned 1, and the next one is due as soon
// as a network comes back.
extern bool check_found_no_network;
// 1 when the exchange ran to its end, whatever the count; 0 after an error box.
int check_mailbox(HWND owner);
// 1 when a whole reply line came and does not begin with '-'.
int read_reply(HWND owner);
// 1 when the line was sent.
int send_command(HWND owner, const char* line);
