// One reply line out of a stream of received bytes, whatever the protocol:
// a line is complete only at its LF. Portable: no windows.h.
#pragma once

#include <stddef.h>

constexpr size_t REPLY_BUFFER_SIZE = 256;    // a reply line, terminator included
// RFC 1939 allows 512 octets; a line this long without its end is no reply.
constexpr size_t REPLY_LINE_LIMIT = 64 * 1024;

struct ReplyLine {
    char text[REPLY_BUFFER_SIZE];   // the line without its line end, terminated
    size_t length;                  // bytes kept in text
    size_t received;                // bytes of the line taken so far, dropped ones included
    bool complete;                  // its LF has been seen
    // A word looked for in the whole line, however long, the bytes past
    // the buffer included: as a word of its own, case-insensitive, in
    // capitals here; nullptr for none.
    const char* watch;
    size_t watch_matched;           // of the word being read, how much matched
    bool watch_found;
};

// Ready for a line, looking for the word watch (nullptr: none) in it.
void reply_line_reset(ReplyLine* line, const char* watch = nullptr);

// Takes bytes up to and including the first LF. Bytes beyond the buffer's
// capacity are dropped; bytes after the LF are left for the next reply.
// Returns the number of bytes taken from data.
size_t reply_line_feed(ReplyLine* line, const char* data, size_t size);

// More than REPLY_LINE_LIMIT bytes and still no line end.
bool reply_line_too_long(const ReplyLine* line);
