// libFuzzer target: any received bytes, in pieces chosen by the input.
#include <string.h>

#include "mailcheck/pop3_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the piece size, as TCP would.
    size_t piece = (data[0] % 32) + 1;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    size -= 1;
    ReplyLine line;
    reply_line_reset(&line, data[0] & 1 ? "IDLE" : nullptr);   // the watched word too
    size_t at = 0;
    while (at < size) {
        size_t chunk = size - at < piece ? size - at : piece;
        size_t taken = 0;
        while (taken < chunk) {
            size_t step = reply_line_feed(&line, bytes + at + taken, chunk - taken);
            if (step == 0 || line.length >= REPLY_BUFFER_SIZE || line.text[line.length] != '\0')
                __builtin_trap();
            taken += step;
            if (line.complete) {
                stat_message_count(line.text);
                int32_t number = 0;
                char id[UIDL_ID_SIZE];
                if (uidl_entry(line.text, &number, id) && (number <= 0 || strlen(id) == 0 || strlen(id) >= UIDL_ID_SIZE))
                    __builtin_trap();   // an entry is a message and an id of 1 to 70 characters
                reply_line_reset(&line, data[0] & 1 ? "IDLE" : nullptr);
            }
        }
        at += chunk;
    }
    return 0;
}
