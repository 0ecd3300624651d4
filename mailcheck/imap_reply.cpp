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

// Decimal 0 to largest, digits only.
bool take_number(const char*& p, int64_t largest, int64_t* number)
{
    int64_t value = 0;
    const char* start = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > largest)
            return false;
    }
    if (p == start)
        return false;
    *number = value;
    return true;
}

// "UID n" as a data item between begin and end (after a blank or the
// opening parenthesis), wherever the server put it.
bool find_uid(const char* begin, const char* end, uint32_t* uid)
{
    int64_t number = 0;
    for (const char* q = begin; q < end; ++q) {
        const char* item = q;
        if ((q == begin || q[-1] == '(' || q[-1] == ' ') && take_word(item, "UID") && take_blank(item)
            && take_number(item, UINT32_MAX, &number)) {
            *uid = static_cast<uint32_t>(number);
            return true;
        }
    }
    return false;
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

int imap_status(const char* line, int32_t* count, uint32_t* uidnext, uint32_t* uidvalidity)
{
    const char* p = line;
    if (!take_word(p, "*") || !take_blank(p) || !take_word(p, "STATUS") || !take_blank(p) || !take_mailbox(p)
        || !take_blank(p) || *p++ != '(')
        return 0;
    // Pairs of an item's name and its number, until the closing parenthesis.
    bool found = false;
    int64_t unseen = 0, next = 0, validity = 0;
    while (*p != ')') {
        const bool is_unseen = take_word(p, "UNSEEN");
        const bool is_uidnext = !is_unseen && take_word(p, "UIDNEXT");
        const bool is_validity = !is_unseen && !is_uidnext && take_word(p, "UIDVALIDITY");
        if (!is_unseen && !is_uidnext && !is_validity) {
            const char* name = p;
            while ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '-')
                ++p;
            if (p == name)
                return 0;
        }
        int64_t value = 0;
        if (!take_blank(p) || !take_number(p, is_uidnext || is_validity ? UINT32_MAX : INT32_MAX, &value))
            return 0;
        if (is_unseen) {
            found = true;
            unseen = value;
        } else if (is_uidnext) {
            next = value;
        } else if (is_validity) {
            validity = value;
        }
        if (*p == ' ')
            ++p;
    }
    for (++p; *p == ' '; ++p) {
    }
    if (!found || *p != '\0')
        return 0;
    *count = static_cast<int32_t>(unseen);
    *uidnext = static_cast<uint32_t>(next);
    if (uidvalidity != nullptr)
        *uidvalidity = static_cast<uint32_t>(validity);
    return 1;
}

bool imap_search_newest(const char* line, uint32_t* newest, int capacity, int* count)
{
    const char* p = line;
    if (!take_word(p, "*") || !take_blank(p) || !take_word(p, "SEARCH"))
        return false;
    while (take_blank(p)) {
        int64_t uid = 0;
        if (!take_number(p, UINT32_MAX, &uid))
            return *p == '\0';   // a blank at the end
        // Into its place among the largest, the smallest falling off.
        int at = *count < capacity ? (*count)++ : capacity;
        for (; at > 0 && newest[at - 1] < uid; --at)
            if (at < capacity)
                newest[at] = newest[at - 1];
        if (at < capacity)
            newest[at] = static_cast<uint32_t>(uid);
    }
    return *p == '\0';
}

bool imap_literal_at_end(const char* line, size_t* size)
{
    const char* end = line + strlen(line);
    if (end - line < 3 || end[-1] != '}')
        return false;
    const char* open = end - 2;
    while (open > line && *open >= '0' && *open <= '9')
        --open;
    const char* digits = open + 1;
    int64_t number = 0;
    if (*open != '{' || !take_number(digits, 1 << 30, &number) || *digits != '}')
        return false;
    *size = static_cast<size_t>(number);
    return true;
}

bool imap_fetch_literal(const char* line, uint32_t* uid, size_t* size)
{
    const char* p = line;
    int64_t number = 0;
    if (!take_word(p, "*") || !take_blank(p) || !take_number(p, UINT32_MAX, &number) || !take_blank(p)
        || !take_word(p, "FETCH") || !take_blank(p) || *p != '(' || !imap_literal_at_end(p, size))
        return false;
    *uid = 0;
    find_uid(p + 1, strrchr(p, '{'), uid);
    return true;
}

bool imap_fetch_uid(const char* rest, uint32_t* uid)
{
    return find_uid(rest, rest + strlen(rest), uid);
}

bool imap_uidnext_code(const char* line, uint32_t* uidnext)
{
    const char* p = line;
    int64_t number = 0;
    if (!take_word(p, "*") || !take_blank(p) || !take_word(p, "OK") || !take_blank(p) || *p++ != '['
        || !take_word(p, "UIDNEXT") || !take_blank(p) || !take_number(p, UINT32_MAX, &number) || *p != ']')
        return false;
    *uidnext = static_cast<uint32_t>(number);
    return true;
}

bool imap_mailbox_changed(const char* line)
{
    const char* p = line;
    int64_t number;
    if (!take_word(p, "*") || !take_blank(p) || !take_number(p, UINT32_MAX, &number) || !take_blank(p))
        return false;
    return take_word(p, "EXISTS") || take_word(p, "EXPUNGE") || take_word(p, "RECENT") || take_word(p, "FETCH");
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
