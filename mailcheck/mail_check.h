// Socket library start-up and the POP3 status check (Win32 side).
#pragma once

#include <winsock2.h>
#include <windows.h>

// The socket of the check in progress; INVALID_SOCKET between checks.
extern SOCKET mail_socket;

// The time a connection has to be made and a reply to arrive whole after
// its command (the greeting: after the connection), and the time the whole
// check has from the connect to STAT's reply: a server that never answers,
// drips bytes or answers just in time must not freeze the program for
// longer. Process-wide values so the tests can shorten them.
extern DWORD mail_reply_time_ms;   // 30 s
extern DWORD mail_check_time_ms;   // 60 s

int start_network(HWND owner);
// 1 when the exchange ran to its end, whatever the count; 0 after an error box.
int check_mailbox(HWND owner);
// 1 when a whole reply line came and does not begin with '-'.
int read_reply(HWND owner);
// 1 when the line was sent.
int send_command(HWND owner, const char* line);
