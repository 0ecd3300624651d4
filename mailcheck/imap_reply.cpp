#include "mailcheck/imap_reply.h"

#include <string.h>

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The word at p (up to a blank, a bracket, a parenthesis or the end) is
// `word`, case-insensitively; then p is moved past it.
bool take_word(const char*& p, const char* word)
{
    size_t i = 0;
    for (; word[i] != '\0'; ++i)
        if (lower(p[i]) != lower(word[i]))
            return false;
    const char end = p[i];
    if (end != '\0' && end != ' ' && end != '[' && end != ']' && end != '(' && end != ')')
        return false;
    p += i;
    return true;
}

bool take_blank(const char*& p)
{
    if (*p != ' ')
        return false;
    ++p;
    return true;
}

// A mailbox name: an atom, or a quoted string with its escapes.
bool take_mailbox(const char*& p)
{
    if (*p == '"') {
        for (++p; *p != '"'; ++p) {
            if (*p == '\0')
                return false;
            if (*p == '\\' && *++p == '\0')
                return false;
        }
        ++p;
        return true;
    }
    const char* start = p;
    while (*p != '\0' && *p != ' ' && *p != '(' && *p != ')' && *p != '"' && *p != '{')
        ++p;
    return p != start;
}

// Decimal 0 to 2147483647, digits only.
bool take_count(const char*& p, int32_t* count)
{
    int64_t value = 0;
    const char* start = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX)
            return false;
    }
    if (p == start)
        return false;
    *count = static_cast<int32_t>(value);
    return true;
}

} // namespace

ImapGreeting imap_greeting(const char* line)
{
    const char* p = line;
    if (!take_word(p, "*") || !take_blank(p))
        return ImapGreeting::malformed;
    if (take_word(p, "OK"))
        return ImapGreeting::ok;
    if (take_word(p, "PREAUTH"))
        return ImapGreeting::preauth;
    if (take_word(p, "BYE"))
        return ImapGreeting::bye;
    return ImapGreeting::malformed;
}

ImapLine imap_line_kind(const char* line, const char* tag)
{
    const char* p = line;
    if (take_word(p, "*"))
        return ImapLine::untagged;
    if (take_word(p, "+"))
        return ImapLine::continuation;
    const size_t tag_length = strlen(tag);
    if (strncmp(line, tag, tag_length) != 0 || line[tag_length] != ' ')
        return ImapLine::other;
    p = line + tag_length + 1;
    if (take_word(p, "OK"))
        return ImapLine::ok;
    if (take_word(p, "NO"))
        return ImapLine::no;
    if (take_word(p, "BAD"))
        return ImapLine::bad;
    return ImapLine::other;
}

int imap_unseen_count(const char* line, int32_t* count)
{
    const char* p = line;
    if (!take_word(p, "*") || !take_blank(p) || !take_word(p, "STATUS") || !take_blank(p) || !take_mailbox(p)
        || !take_blank(p) || *p++ != '(')
        return 0;
    // Pairs of an item's name and its number, until the closing parenthesis.
    bool found = false;
    int32_t unseen = 0;
    while (*p != ')') {
        const bool is_unseen = take_word(p, "UNSEEN");
        if (!is_unseen) {
            const char* name = p;
            while ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '-')
                ++p;
            if (p == name)
                return 0;
        }
        int32_t value = 0;
        if (!take_blank(p) || !take_count(p, &value))
            return 0;
        if (is_unseen) {
            found = true;
            unseen = value;
        }
        if (*p == ' ')
            ++p;
    }
    for (++p; *p == ' '; ++p) {
    }
    if (!found || *p != '\0')
        return 0;
    *count = unseen;
    return 1;
}

bool imap_has_atom(const char* line, const char* atom)
{
    for (const char* p = line; *p != '\0'; ++p) {
        const bool word_start = p == line || p[-1] == ' ' || p[-1] == '[' || p[-1] == '(';
        const char* q = p;
        if (word_start && take_word(q, atom))
            return true;
    }
    return false;
}

size_t imap_quote(char* out, size_t out_size, const char* value)
{
    size_t length = 0;
    if (out_size < 3)
        return 0;
    out[length++] = '"';
    for (const char* p = value; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x80 || c == '\r' || c == '\n')
            return 0;
        // Room for an escape, the byte, the closing quote and the terminator.
        if (length + 4 > out_size)
            return 0;
        if (c == '"' || c == '\\')
            out[length++] = '\\';
        out[length++] = static_cast<char>(c);
    }
    out[length++] = '"';
    out[length] = '\0';
    return length;
}
