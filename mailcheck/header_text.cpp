#include "mailcheck/header_text.h"

#include <string.h>

#include "signin/oauth_text.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(const char* a, size_t length, const char* b)
{
    size_t i = 0;
    for (; i < length && b[i] != '\0'; ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return i == length && b[i] == '\0';
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The charsets Japanese mail uses and the common Western ones: the names
// one after the other (each ended by its NUL), their code pages in the same
// order. ISO-8859-1 is read as windows-1252, as mail programs and browsers do.
const char CHARSET_NAMES[] =
    "iso-2022-jp\0csiso2022jp\0"
    "shift_jis\0shift-jis\0sjis\0x-sjis\0windows-31j\0cp932\0ms_kanji\0csshiftjis\0"
    "euc-jp\0x-euc-jp\0cseucpkdfmtjapanese\0"
    "utf-8\0utf8\0us-ascii\0ascii\0"
    "iso-8859-1\0latin1\0windows-1252\0cp1252\0iso-8859-15\0iso-8859-2\0windows-1250\0"
    "iso-8859-5\0windows-1251\0koi8-r\0iso-8859-7\0"
    "gb2312\0gbk\0big5\0euc-kr\0ks_c_5601-1987\0";
const uint16_t CHARSET_PAGES[] = {
    ISO2022JP_CODE_PAGE, ISO2022JP_CODE_PAGE,
    932, 932, 932, 932, 932, 932, 932, 932,
    20932, 20932, 20932,
    65001, 65001, 20127, 20127,
    1252, 1252, 1252, 1252, 28605, 28592, 1250,
    28595, 1251, 20866, 28597,
    936, 936, 950, 949, 949,
};

bool zero_width(char16_t c) { return c >= 0x200B && c <= 0x200D; }

// Output that never overflows, with what strangers may not show dropped:
// control characters (white space and the line and paragraph separators,
// which would add lines to the notification, become one blank), marks and
// overrides that reorder text, the byte order mark, zero-width characters
// at the ends (inside they join emoji), and a surrogate the cut left
// alone; blanks never repeat or lead.
struct Writer {
    char16_t* out;
    size_t capacity;
    size_t length;

    void put(char16_t c)
    {
        if (c == '\t' || c == '\r' || c == '\n' || c == 0x2028 || c == 0x2029)
            c = ' ';
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F
            || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF)
            return;
        if ((c == ' ' || zero_width(c)) && (length == 0 || out[length - 1] == ' '))
            return;
        if (length + 1 < capacity)
            out[length++] = c;
    }
    void put(const char16_t* text, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            put(text[i]);
    }
    size_t finish()
    {
        while (length > 0
               && (out[length - 1] == ' ' || zero_width(out[length - 1])
                   || (out[length - 1] >= 0xD800 && out[length - 1] <= 0xDBFF)))
            --length;
        if (capacity > 0)
            out[length] = 0;
        return length;
    }
};

// Strict UTF-8 (no overlong forms, surrogates or values past U+10FFFF) as
// UTF-16; false, with nothing written, when the bytes are not that.
bool utf8_to_utf16(const unsigned char* p, size_t length, Writer* writer, bool write)
{
    for (size_t i = 0; i < length;) {
        uint32_t c = p[i];
        size_t extra = c < 0x80 ? 0 : c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 9;
        if (extra == 9 || i + extra >= length)
            return false;
        if (extra > 0)
            c &= 0x3Fu >> extra;
        for (size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        if ((extra == 2 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)))
            return false;
        if (write) {
            if (c >= 0x10000) {
                writer->put(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
                writer->put(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
            } else {
                writer->put(static_cast<char16_t>(c));
            }
        }
        i += extra + 1;
    }
    return true;
}

// ISO-2022-JP as Shift_JIS (code page 932), by JIS X 0208's arithmetic:
// the 7-bit form most Japanese mail is written in. 0 when it holds what
// Shift_JIS cannot (JIS X 0212) or is broken.
size_t iso2022jp_to_sjis(const unsigned char* p, size_t length, char* out, size_t capacity)
{
    enum { ascii, kanji, katakana } mode = ascii;
    size_t n = 0;
    for (size_t i = 0; i < length;) {
        if (p[i] == 0x1B) {
            if (i + 2 >= length)
                return 0;
            const unsigned char a = p[i + 1], b = p[i + 2];
            if (a == '$' && (b == '@' || b == 'B'))
                mode = kanji;
            else if (a == '(' && (b == 'B' || b == 'J'))
                mode = ascii;
            else if (a == '(' && b == 'I')
                mode = katakana;
            else
                return 0;
            i += 3;
            continue;
        }
        if (n + 2 > capacity)
            return 0;
        if (mode == kanji) {
            if (i + 1 >= length)
                return 0;
            const unsigned j1 = p[i], j2 = p[i + 1];
            if (j1 < 0x21 || j1 > 0x7E || j2 < 0x21 || j2 > 0x7E)
                return 0;
            out[n++] = static_cast<char>(((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0));
            out[n++] = static_cast<char>(j2 + ((j1 & 1) != 0 ? (j2 >= 0x60 ? 0x20 : 0x1F) : 0x7E));
            i += 2;
        } else if (mode == katakana) {
            if (p[i] < 0x21 || p[i] > 0x5F)
                return 0;
            out[n++] = static_cast<char>(p[i++] + 0x80);
        } else {
            if (p[i] >= 0x80)
                return 0;
            out[n++] = static_cast<char>(p[i++]);
        }
    }
    return n;
}

// Bytes in a charset, onto the writer; false when they cannot be read so.
bool put_in_charset(unsigned code_page, const char* bytes, size_t length, CodePageDecoder decode, Writer* writer)
{
    if (length == 0)
        return true;
    if (code_page == 65001)
        return utf8_to_utf16(reinterpret_cast<const unsigned char*>(bytes), length, writer, false)
            && utf8_to_utf16(reinterpret_cast<const unsigned char*>(bytes), length, writer, true);
    char sjis[HEADER_VALUE_LIMIT * 2];
    if (code_page == ISO2022JP_CODE_PAGE) {
        length = iso2022jp_to_sjis(reinterpret_cast<const unsigned char*>(bytes), length, sjis, sizeof sjis);
        if (length == 0)
            return false;
        bytes = sjis;
        code_page = 932;
    }
    char16_t text[HEADER_VALUE_LIMIT * 2];
    const size_t count = decode(code_page, bytes, length, text, sizeof text / sizeof text[0]);
    if (count == 0)
        return false;
    writer->put(text, count);
    return true;
}

// Text outside encoded-words: ISO-2022-JP where it switches charsets (older
// Japanese mailers send it raw), UTF-8 when it is valid UTF-8, else CP932.
void put_raw(const char* bytes, size_t length, CodePageDecoder decode, Writer* writer)
{
    if (memchr(bytes, 0x1B, length) != nullptr && put_in_charset(ISO2022JP_CODE_PAGE, bytes, length, decode, writer))
        return;
    if (!put_in_charset(65001, bytes, length, decode, writer) && !put_in_charset(932, bytes, length, decode, writer))
        for (size_t i = 0; i < length; ++i)
            writer->put(static_cast<unsigned char>(bytes[i]) < 0x80 ? static_cast<char16_t>(bytes[i]) : u'?');
}

// One encoded-word at p: =?charset?B|Q?text?= with its bytes decoded.
struct EncodedWord {
    const char* charset;
    size_t charset_length;
    size_t length;        // of the whole word in the value
    size_t byte_count;    // decoded
};

bool take_encoded_word(const char* p, const char* end, EncodedWord* word, char* bytes, size_t capacity)
{
    if (end - p < 8 || p[0] != '=' || p[1] != '?')
        return false;
    const char* charset = p + 2;
    const char* q = charset;
    while (q < end && *q != '?' && !is_blank(*q))
        ++q;
    if (q + 3 >= end || *q != '?' || q == charset || q[2] != '?')
        return false;
    const char encoding = lower(q[1]);
    if (encoding != 'b' && encoding != 'q')
        return false;
    const char* text = q + 3;
    const char* text_end = text;
    while (text_end + 1 < end && !(text_end[0] == '?' && text_end[1] == '=') && !is_blank(*text_end))
        ++text_end;
    if (text_end + 1 >= end || text_end[0] != '?' || text_end[1] != '=')
        return false;
    size_t n = 0;
    if (encoding == 'q') {
        for (const char* t = text; t < text_end; ++t) {
            char c = *t;
            if (c == '_') {
                c = ' ';
            } else if (c == '=') {
                if (text_end - t < 3 || hex_value(t[1]) < 0 || hex_value(t[2]) < 0)
                    return false;
                c = static_cast<char>(hex_value(t[1]) * 16 + hex_value(t[2]));
                t += 2;
            }
            if (n == capacity)
                return false;
            bytes[n++] = c;
        }
    } else {
        // Up to its padding: what follows a '=' is not read.
        const char* padding = static_cast<const char*>(memchr(text, '=', static_cast<size_t>(text_end - text)));
        const long decoded = base64_decode(text, static_cast<size_t>((padding != nullptr ? padding : text_end) - text),
                                           reinterpret_cast<uint8_t*>(bytes), capacity);
        if (decoded < 0)
            return false;
        n = static_cast<size_t>(decoded);
    }
    word->charset = charset;
    word->charset_length = static_cast<size_t>(q - charset);
    word->length = static_cast<size_t>(text_end + 2 - p);
    word->byte_count = n;
    return true;
}

// The value without its folds (a line end followed by a blank); cut at
// what can be shown.
bool shift_jis_lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Where a value cut at n ends on a whole character of the charset its raw
// bytes are in: a UTF-8 sequence, a Shift_JIS pair or an ISO-2022-JP
// pair is never split (split, the whole value would fail its charset).
size_t whole_characters(const char* text, size_t n)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    if (memchr(p, 0x1B, n) != nullptr) {   // ISO-2022-JP: pairs while in JIS X 0208
        bool pairs = false;
        size_t i = 0, last = 0;
        while (i < n) {
            last = i;
            if (p[i] == 0x1B) {
                if (i + 2 >= n)
                    return i;   // the switch itself cut
                pairs = p[i + 1] == '$';
                i += 3;
            } else {
                i += pairs && p[i] != 0x1B ? 2 : 1;
            }
        }
        return i > n ? last : n;
    }
    size_t start = n;
    while (start > 0 && n - start < 3 && (p[start - 1] & 0xC0) == 0x80)
        --start;
    if (start > 0 && p[start - 1] >= 0xC2 && p[start - 1] <= 0xF4) {
        const size_t need = p[start - 1] >= 0xF0 ? 4 : p[start - 1] >= 0xE0 ? 3 : 2;
        if (n - (start - 1) < need)
            n = start - 1;
        Writer none = {nullptr, 0, 0};
        if (utf8_to_utf16(p, n, &none, false))
            return n;
    }
    size_t i = 0;
    while (i < n)
        i += shift_jis_lead(p[i]) ? 2 : 1;
    return i > n ? n - 1 : n;
}

size_t unfold(const char* value, size_t length, char* out, size_t capacity)
{
    size_t n = 0, i = 0;
    for (; i < length && n < capacity; ++i) {
        if (value[i] == '\r' || value[i] == '\n')
            continue;
        out[n++] = value[i];
    }
    return i < length ? whole_characters(out, n) : n;
}

} // namespace

unsigned charset_code_page(const char* name, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (name[i] == '*')   // RFC 2231's language: not part of the name
            length = i;
    const char* known = CHARSET_NAMES;
    for (size_t i = 0; *known != '\0' && i < sizeof CHARSET_PAGES / sizeof CHARSET_PAGES[0]; ++i) {
        if (same_name(name, length, known))
            return CHARSET_PAGES[i];
        known += strlen(known) + 1;
    }
    return 0;
}

const char* header_field(const char* block, size_t size, const char* name, size_t* length)
{
    const size_t name_length = strlen(name);
    for (size_t line = 0; line < size;) {
        size_t end = line;
        // A field runs to the line end that no blank follows.
        while (end < size && !(block[end] == '\n' && (end + 1 >= size || !is_blank(block[end + 1]))))
            ++end;
        if (end - line > name_length && same_name(block + line, name_length, name) && block[line + name_length] == ':') {
            const char* value = block + line + name_length + 1;
            *length = static_cast<size_t>(block + end - value);
            return value;
        }
        line = end + 1;
    }
    return nullptr;
}

size_t decode_header_value(const char* value, size_t length, CodePageDecoder decode, char16_t* out, size_t capacity)
{
    char text[HEADER_VALUE_LIMIT];
    const size_t size = unfold(value, length, text, sizeof text);
    Writer writer = {out, capacity, 0};
    // Adjacent encoded-words of one charset are decoded together: a
    // character may be split between them. The blanks between them go.
    char pending[HEADER_VALUE_LIMIT];
    size_t pending_length = 0;
    unsigned pending_page = 0;
    const char* pending_word = nullptr;   // where the pending words began, for showing them as they stand
    const char* pending_end = nullptr;
    size_t plain_begin = 0;
    auto flush = [&]() {
        if (pending_word != nullptr && !put_in_charset(pending_page, pending, pending_length, decode, &writer))
            put_raw(pending_word, static_cast<size_t>(pending_end - pending_word), decode, &writer);
        pending_word = nullptr;
        pending_length = 0;
    };
    const char* end = text + size;
    for (size_t i = 0; i < size;) {
        EncodedWord word;
        char bytes[HEADER_VALUE_LIMIT];
        unsigned page = 0;
        if (text[i] == '=' && take_encoded_word(text + i, end, &word, bytes, sizeof bytes)
            && (page = charset_code_page(word.charset, word.charset_length)) != 0) {
            bool only_blanks = pending_word != nullptr;
            for (size_t k = plain_begin; k < i && only_blanks; ++k)
                only_blanks = is_blank(text[k]);
            if (!(only_blanks && page == pending_page)) {
                flush();
                if (!only_blanks)
                    put_raw(text + plain_begin, i - plain_begin, decode, &writer);
            }
            if (pending_word == nullptr) {
                pending_word = text + i;
                pending_page = page;
            }
            if (pending_length + word.byte_count <= sizeof pending) {
                memcpy(pending + pending_length, bytes, word.byte_count);
                pending_length += word.byte_count;
            }
            i += word.length;
            pending_end = text + i;
            plain_begin = i;
            continue;
        }
        ++i;
    }
    bool only_blanks = true;
    for (size_t k = plain_begin; k < size && only_blanks; ++k)
        only_blanks = is_blank(text[k]);
    flush();
    if (!only_blanks)
        put_raw(text + plain_begin, size - plain_begin, decode, &writer);
    return writer.finish();
}

size_t sender_name(const char* value, size_t length, CodePageDecoder decode, char16_t* out, size_t capacity)
{
    char text[HEADER_VALUE_LIMIT];
    const size_t size = unfold(value, length, text, sizeof text);
    // The phrase before <address> with its quotes and comments taken off;
    // the first comment; the address.
    char phrase[HEADER_VALUE_LIMIT];
    char comment[HEADER_VALUE_LIMIT];
    size_t phrase_length = 0, comment_length = 0, angle = size, angle_end = size;
    int depth = 0;
    bool quoted = false, first_comment = true;
    for (size_t i = 0; i < size; ++i) {
        char c = text[i];
        if (c == '\\' && (quoted || depth > 0) && i + 1 < size) {
            c = text[++i];
        } else if (quoted) {
            if (c == '"') {
                quoted = false;
                continue;
            }
        } else if (c == '(') {
            if (depth++ > 0 && first_comment && comment_length < sizeof comment)
                comment[comment_length++] = c;
            continue;
        } else if (c == ')' && depth > 0) {
            if (--depth == 0)
                first_comment = false;
            else if (first_comment && comment_length < sizeof comment)
                comment[comment_length++] = c;
            continue;
        } else if (depth == 0 && c == '"') {
            quoted = true;
            continue;
        } else if (depth == 0 && c == '<' && angle == size) {
            angle = i;
            continue;
        } else if (depth == 0 && c == '>' && angle != size && angle_end == size) {
            angle_end = i;
            continue;
        }
        if (depth > 0) {
            if (first_comment && comment_length < sizeof comment)
                comment[comment_length++] = c;
        } else if (angle == size && phrase_length < sizeof phrase) {
            phrase[phrase_length++] = c;
        }
    }
    size_t written = 0;
    if (angle != size) {
        written = decode_header_value(phrase, phrase_length, decode, out, capacity);
        if (written == 0)
            written = decode_header_value(text + angle + 1, (angle_end == size ? size : angle_end) - angle - 1, decode,
                                          out, capacity);
    } else {
        written = decode_header_value(comment, comment_length, decode, out, capacity);
        if (written == 0)
            written = decode_header_value(phrase, phrase_length, decode, out, capacity);
    }
    return written;
}

size_t compose_notice_body(const NoticeLine* lines, int count, int more, char16_t* out, size_t capacity)
{
    // "ほか%d通" last, whole; the rest shared out among the lines.
    char16_t tail[24];
    size_t tail_length = 0;
    if (more > 0) {
        char digits[12];
        int n = 0;
        for (unsigned value = static_cast<unsigned>(more); value != 0 || n == 0; value /= 10)
            digits[n++] = static_cast<char>('0' + value % 10);
        tail[tail_length++] = u'ほ';
        tail[tail_length++] = u'か';
        while (n > 0)
            tail[tail_length++] = static_cast<char16_t>(digits[--n]);
        tail[tail_length++] = u'通';
    }
    const size_t limit = capacity - 1 < NOTICE_TEXT_LIMIT ? capacity - 1 : NOTICE_TEXT_LIMIT;
    const size_t breaks = static_cast<size_t>(count > 0 ? count - 1 : 0) + (count > 0 && more > 0 ? 1 : 0);
    if (limit < tail_length + breaks) {   // no room even for the count
        out[0] = 0;
        return 0;
    }
    const size_t room = limit - tail_length - breaks;
    const size_t share = count > 0 ? room / static_cast<size_t>(count) : 0;
    size_t n = 0;
    for (int i = 0; i < count; ++i) {
        char16_t line[2 * HEADER_TEXT_SIZE + 2];
        size_t length = 0;
        for (const char16_t* p = lines[i].sender; *p != 0; ++p)
            line[length++] = *p;
        if (lines[i].subject[0] != 0) {
            if (length > 0) {
                line[length++] = u':';
                line[length++] = u' ';
            }
            for (const char16_t* p = lines[i].subject; *p != 0; ++p)
                line[length++] = *p;
        }
        if (length > share) {
            // Cut with an ellipsis, never between the halves of a surrogate pair.
            length = share > 0 ? share - 1 : 0;
            if (length > 0 && line[length - 1] >= 0xD800 && line[length - 1] <= 0xDBFF)
                --length;
            line[length++] = u'…';
            if (length > share)
                length = 0;
        }
        if (i > 0)
            out[n++] = u'\n';
        memcpy(out + n, line, length * sizeof line[0]);
        n += length;
    }
    if (tail_length > 0) {
        if (count > 0)
            out[n++] = u'\n';
        memcpy(out + n, tail, tail_length * sizeof tail[0]);
        n += tail_length;
    }
    out[n] = 0;
    return n;
}
