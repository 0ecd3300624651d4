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

bool uidl_entry(const char* text, int32_t* number, char* id)
{
    const char* p = text;
    while (*p == ' ')
        ++p;
    int64_t value = 0;
    const char* digits = p;
    for (; *p >= '0' && *p <= '9'; ++p)
        if ((value = value * 10 + (*p - '0')) > INT32_MAX)
            return false;
    if (p == digits || value == 0 || *p != ' ')
        return false;
    while (*p == ' ')
        ++p;
    size_t length = 0;
    for (; p[length] >= 0x21 && p[length] <= 0x7E; ++length)
        if (length == UIDL_ID_SIZE - 1)
            return false;
    for (const char* rest = p + length; *rest != '\0'; ++rest)
        if (*rest != ' ')
            return false;
    if (length == 0)
        return false;
    memcpy(id, p, length);
    id[length] = '\0';
    *number = static_cast<int32_t>(value);
    return true;
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
