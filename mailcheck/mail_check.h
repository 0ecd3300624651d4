// Socket library start-up and the POP3 status check (Win32 side).
#pragma once

#include <winsock2.h>
#include <windows.h>

// The socket of the check in progress; INVALID_SOCKET between checks.
extern SOCKET mail_socket;

// Send time-out of the check's socket, and the time a reply has to arrive
// whole after its command (the greeting: after the connection): a server
// that never answers, or drips bytes, must not freeze the program.
constexpr DWORD MAIL_SOCKET_TIMEOUT_MS = 30000;

int start_network(HWND owner);
// 1 when the exchange ran to its end, whatever the count; 0 after an error box.
int check_mailbox(HWND owner);
// 1 when a whole reply line came and does not begin with '-'.
int read_reply(HWND owner);
// 1 when the line was sent.
int send_command(HWND owner, const char* line);
