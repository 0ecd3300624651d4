#include "mailcheck/pop3_reply.h"

#include <string.h>

#include "settings/cp932_text.h"
#include "settings/user_settings.h"

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

int32_t stat_message_count(const char* reply)
{
    const char* p = reply;
    while (*p != '\0' && is_white_space(static_cast<unsigned char>(*p)))
        ++p;
    while (*p != '\0' && !is_white_space(static_cast<unsigned char>(*p)))
        ++p;
    while (*p != '\0' && is_white_space(static_cast<unsigned char>(*p)))
        ++p;
    // No second token: p is at the terminator, which parses as 0.
    return parse_decimal(p);
}

void build_command(char* out, size_t out_size, const char* verb, const char* value)
{
    static const char line_end[] = "\r\n";
    size_t verb_length = strlen(verb);
    if (out_size < verb_length + 1 + sizeof line_end) {
        if (out_size > 0)
            out[0] = '\0';
        return;
    }
    memcpy(out, verb, verb_length);
    out[verb_length] = ' ';
    size_t room = out_size - verb_length - 1 - (sizeof line_end - 1);
    size_t value_length = copy_text(out + verb_length + 1, room, value);
    memcpy(out + verb_length + 1 + value_length, line_end, sizeof line_end);
}
