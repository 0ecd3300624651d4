#include "mailcheck/pop3_reply.h"

#include <string.h>

#include "settings/cp932_text.h"
#include "settings/user_settings.h"

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
