// Who wrote and about what, as a mail program shows it: a header field's
// value unfolded (RFC 5322), its encoded-words decoded (RFC 2047), the
// sender's display name, and the notification's lines fitted to Windows's
// 255 characters. Mail is written by strangers: control characters and
// bidirectional overrides and isolates never reach the screen.
// Portable: no windows.h. Charsets go through the system's own converters,
// handed in as a function (MultiByteToWideChar on Windows).
#pragma once

#include <stddef.h>
#include <stdint.h>

// Bytes in a Windows code page as UTF-16 into out: the units written, 0 when
// the bytes are not valid in that code page or the page is not known.
typedef size_t (*CodePageDecoder)(unsigned code_page, const char* bytes, size_t length, char16_t* out,
                                  size_t capacity);

constexpr size_t NOTICE_TEXT_LIMIT = 255;   // szInfo holds 255 characters and its terminator
constexpr size_t HEADER_TEXT_SIZE = NOTICE_TEXT_LIMIT + 1;
constexpr size_t HEADER_VALUE_LIMIT = 1024;  // bytes of one value decoded; the rest cannot be shown

// The code page of a MIME charset name (case-insensitive, a "*language"
// suffix ignored), 0 when unknown. ISO-2022-JP has none: it is turned into
// Shift_JIS first (ISO2022JP_CODE_PAGE).
constexpr unsigned ISO2022JP_CODE_PAGE = 50221;
unsigned charset_code_page(const char* name, size_t length);

// The value of the field `name` (e.g. "Subject") in a block of header
// lines, with its folds still in it; nullptr when the block has none.
const char* header_field(const char* block, size_t size, const char* name, size_t* length);

// A field's value as text for the screen, terminated; its length.
size_t decode_header_value(const char* value, size_t length, CodePageDecoder decode, char16_t* out,
                           size_t capacity);

// The sender of a From value: the display name (a phrase, quoted or not,
// or a comment), else the address.
size_t sender_name(const char* value, size_t length, CodePageDecoder decode, char16_t* out, size_t capacity);

struct NoticeLine {
    char16_t sender[HEADER_TEXT_SIZE];
    char16_t subject[HEADER_TEXT_SIZE];
};

// The notification's body: one line a message ("sender: subject"), then
// "ほか%d通" when `more` messages are not shown; every line cut at a
// character boundary so the whole fits NOTICE_TEXT_LIMIT. Terminated; its length.
size_t compose_notice_body(const NoticeLine* lines, int count, int more, char16_t* out, size_t capacity);
