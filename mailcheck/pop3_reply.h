// The POP3 side of a reply: the STAT count, UIDL's entries and the command
// lines. Portable: no windows.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "mailcheck/connection/reply_line.h"

constexpr size_t COMMAND_BUFFER_SIZE = 262;  // "USER " + 254 bytes + CR LF + terminator
constexpr int POP3_PORT = 110;

// The message count of a STAT reply: its second white-space separated token
// as a decimal number, 0 when there is none.
int32_t stat_message_count(const char* reply);

// A message's unique id: 1 to 70 printable characters (RFC 1939), terminated.
constexpr size_t UIDL_ID_SIZE = 71;

// "n id", a line of UIDL's list or what follows "+OK" in the answer to
// "UIDL n": true, *number (1 or more) and the id copied into id (of
// UIDL_ID_SIZE), when it is one.
bool uidl_entry(const char* text, int32_t* number, char* id);

// verb, a blank, value, CR LF; the value is cut so the line fits out.
void build_command(char* out, size_t out_size, const char* verb, const char* value);
