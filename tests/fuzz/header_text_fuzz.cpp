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

// What must never reach the screen, listed here on its own (not the
// writer's filter): controls, line and paragraph breaks, what reorders or
// hides text (bidirectional marks, embeddings, overrides and isolates, the
// byte order mark), zero-width characters at either end, and surrogates
// out of their pairs.
bool never_shown(char16_t c)
{
    switch (c) {
    case 0x061C: case 0x200E: case 0x200F: case 0x2028: case 0x2029: case 0xFEFF:
        return true;
    default:
        return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    }
}

void check_shown(const char16_t* text, size_t length, size_t capacity)
{
    if (length >= capacity || text[length] != 0)
        __builtin_trap();
    for (size_t i = 0; i < length; ++i) {
        const char16_t c = text[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        const bool end = i == 0 || i + 1 == length;
        if (never_shown(c) || (end && c >= 0x200B && c <= 0x200D)
            || (high && (i + 1 == length || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF))
            || (low && (i == 0 || text[i - 1] < 0xD800 || text[i - 1] > 0xDBFF)))
            __builtin_trap();
    }
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
