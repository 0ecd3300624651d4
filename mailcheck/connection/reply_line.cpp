#include "mailcheck/connection/reply_line.h"

void reply_line_reset(ReplyLine* line)
{
    line->text[0] = '\0';
    line->length = 0;
    line->received = 0;
    line->complete = false;
}

size_t reply_line_feed(ReplyLine* line, const char* data, size_t size)
{
    size_t taken = 0;
    while (taken < size && !line->complete) {
        char c = data[taken++];
        ++line->received;
        if (c == '\n') {
            line->complete = true;
            // The CR of the line end is not part of the text.
            if (line->length > 0 && line->text[line->length - 1] == '\r')
                --line->length;
        } else if (line->length < REPLY_BUFFER_SIZE - 1) {
            line->text[line->length++] = c;
        }
        // Anything past the capacity is read and dropped.
    }
    line->text[line->length] = '\0';
    return taken;
}

bool reply_line_too_long(const ReplyLine* line)
{
    return !line->complete && line->received > REPLY_LINE_LIMIT;
}
