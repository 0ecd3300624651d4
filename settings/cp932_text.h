// Byte-string helpers for code page 932 text, used wherever the program
// copies or scans its texts: settings, the check, the tray and the dialogs.
// Portable: no windows.h.
#pragma once

#include <stddef.h>

// Is this byte the first of a code page 932 double-byte character?
inline bool is_cp932_lead_byte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The white space of the C locale: blank, tab, LF, VT, FF and CR.
inline bool is_white_space(unsigned char byte)
{
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// How many of length bytes fit in limit without splitting a double-byte
// character: when the limit falls inside one, the cut goes before its lead.
size_t cp932_cut(const char* text, size_t length, size_t limit);

// Bounded copy that never splits a double-byte character. Always terminates
// out (when out_size > 0) and returns the number of bytes copied.
size_t copy_text(char* out, size_t out_size, const char* text);
