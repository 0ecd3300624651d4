// The POP3 side of a reply: the STAT count and the command lines. Portable:
// no windows.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "mailcheck/connection/reply_line.h"

constexpr size_t COMMAND_BUFFER_SIZE = 262;  // "USER " + 254 bytes + CR LF + terminator
constexpr int POP3_PORT = 110;

// The message count of a STAT reply: its second white-space separated token
// as a decimal number, 0 when there is none.
int32_t stat_message_count(const char* reply);

// verb, a blank, value, CR LF; the value is cut so the line fits out.
void build_command(char* out, size_t out_size, const char* verb, const char* value);
