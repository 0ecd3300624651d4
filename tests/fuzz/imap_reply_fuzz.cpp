// libFuzzer target: any reply line an IMAP server may send (STATUS, SEARCH,
// FETCH among them), and any value quoted into a small buffer.
#include <string.h>

#include "mailcheck/imap_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    char line[300];
    size_t length = size < sizeof line - 1 ? size : sizeof line - 1;
    memcpy(line, data, length);
    line[length] = '\0';
    int32_t count = -1;
    uint32_t uidnext = 0;
    if (imap_status(line, &count, &uidnext) && count < 0)
        __builtin_trap();   // a count that parses is never negative
    uint32_t newest[3] = {};
    int found = 0;
    imap_search_newest(line, newest, 3, &found);
    if (found > 3 || (found > 1 && newest[0] < newest[1]) || (found > 2 && newest[1] < newest[2]))
        __builtin_trap();   // the largest, largest first
    uint32_t uid = 0;
    size_t literal = 0;
    if (imap_fetch_literal(line, &uid, &literal) && literal > (1u << 30))
        __builtin_trap();
    imap_greeting(line);
    imap_line_kind(line, "a1");
    imap_has_atom(line, "LOGINDISABLED");
    imap_mailbox_changed(line);
    char quoted[40];
    memset(quoted, 0x5a, sizeof quoted);
    const size_t quoted_length = imap_quote(quoted, sizeof quoted, line);
    if (quoted_length != 0 && (quoted_length >= sizeof quoted || quoted[quoted_length] != '\0'))
        __builtin_trap();
    return 0;
}
