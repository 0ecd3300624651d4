#include "mailcheck/connection/reply_line.h"

void reply_line_reset(ReplyLine* line, const char* watch)
{
    line->watch = watch;
    line->text[0] = '\0';
    line->length = 0;
    line->received = 0;
    line->complete = false;
    line->watch_matched = 0;
    line->watch_found = false;
}

namespace {

constexpr size_t NO_MATCH = static_cast<size_t>(-1);

// Words are parted by spaces and brackets, as IMAP's atoms are.
void watch_byte(ReplyLine* line, char c)
{
    const char* word = line->watch;
    if (c == ' ' || c == '[' || c == '(' || c == ']' || c == ')' || c == '\r' || c == '\n') {
        if (line->watch_matched != NO_MATCH && word[line->watch_matched] == '\0' && line->watch_matched > 0)
            line->watch_found = true;
        line->watch_matched = 0;
        return;
    }
    if (line->watch_matched == NO_MATCH)
        return;
    const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    // Past the whole word every byte, a NUL too, makes it another word.
    const char expected = word[line->watch_matched];
    line->watch_matched = expected != '\0' && expected == upper ? line->watch_matched + 1 : NO_MATCH;
}

} // namespace

size_t reply_line_feed(ReplyLine* line, const char* data, size_t size)
{
    size_t taken = 0;
    while (taken < size && !line->complete) {
        char c = data[taken++];
        ++line->received;
        if (line->watch != nullptr)
            watch_byte(line, c);
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
