// libFuzzer target: any reply line an IMAP server may send, and any value
// quoted into a small buffer.
#include <string.h>

#include "mailcheck/imap_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    char line[300];
    size_t length = size < sizeof line - 1 ? size : sizeof line - 1;
    memcpy(line, data, length);
    line[length] = '\0';
    int32_t count = -1;
    if (imap_unseen_count(line, &count) && count < 0)
        __builtin_trap();   // a count that parses is never negative
    imap_greeting(line);
    imap_line_kind(line, "a1");
    imap_has_atom(line, "LOGINDISABLED");
    char quoted[40];
    memset(quoted, 0x5a, sizeof quoted);
    const size_t quoted_length = imap_quote(quoted, sizeof quoted, line);
    if (quoted_length != 0 && (quoted_length >= sizeof quoted || quoted[quoted_length] != '\0'))
        __builtin_trap();
    return 0;
}
