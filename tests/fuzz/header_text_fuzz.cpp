// libFuzzer target: any header block a stranger's mail may carry, decoded
// as the notification would show it. The code pages go through a stand-in
// that reads every byte as itself, or refuses, as a real converter may.
#include <string.h>

#include "mailcheck/header_text.h"

namespace {

size_t byte_per_unit(unsigned code_page, const char* bytes, size_t length, char16_t* out, size_t capacity)
{
    if (code_page == 20127 || length > capacity)
        return 0;
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<unsigned char>(bytes[i]);
    return length;
}

// Nothing that may reorder or hide text on screen is left.
void check_shown(const char16_t* text, size_t length, size_t capacity)
{
    if (length >= capacity || text[length] != 0)
        __builtin_trap();
    for (size_t i = 0; i < length; ++i)
        if (text[i] < 0x20 || (text[i] >= 0x7F && text[i] <= 0x9F) || (text[i] >= 0x202A && text[i] <= 0x202E)
            || (text[i] >= 0x2066 && text[i] <= 0x2069))
            __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    const char* block = reinterpret_cast<const char*>(data);
    NoticeLine line = {};
    size_t length = 0;
    const char* value = header_field(block, size, "Subject", &length);
    if (value != nullptr && (value < block || value + length > block + size))
        __builtin_trap();
    const size_t subject = decode_header_value(block, size, byte_per_unit, line.subject, HEADER_TEXT_SIZE);
    check_shown(line.subject, subject, HEADER_TEXT_SIZE);
    const size_t sender = sender_name(block, size, byte_per_unit, line.sender, HEADER_TEXT_SIZE);
    check_shown(line.sender, sender, HEADER_TEXT_SIZE);
    NoticeLine lines[3] = {line, line, line};
    char16_t body[HEADER_TEXT_SIZE];
    const size_t body_length = compose_notice_body(lines, size % 4, static_cast<int>(size % 1000), body, HEADER_TEXT_SIZE);
    if (body_length > NOTICE_TEXT_LIMIT || body[body_length] != 0)
        __builtin_trap();
    return 0;
}
