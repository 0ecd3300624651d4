// Header text as a mail program shows it; the code pages go through glibc's
// iconv here, as through MultiByteToWideChar on Windows.
#include <gtest/gtest.h>

#include <iconv.h>
#include <string.h>

#include <string>

#include "mailcheck/header_text.h"

namespace {

size_t iconv_decode(unsigned code_page, const char* bytes, size_t length, char16_t* out, size_t capacity)
{
    const char* name = code_page == 932 ? "CP932" : code_page == 20932 ? "EUC-JP" : code_page == 1252 ? "CP1252"
        : code_page == 28605 ? "ISO-8859-15" : code_page == 20127 ? "ASCII" : nullptr;
    if (name == nullptr)
        return 0;
    iconv_t converter = iconv_open("UTF-16LE", name);
    char* in = const_cast<char*>(bytes);
    char* to = reinterpret_cast<char*>(out);
    size_t in_left = length, out_left = capacity * sizeof(char16_t);
    const size_t result = iconv(converter, &in, &in_left, &to, &out_left);
    iconv_close(converter);
    return result == static_cast<size_t>(-1) ? 0 : capacity - out_left / sizeof(char16_t);
}

std::u16string decoded(const std::string& value)
{
    char16_t out[HEADER_TEXT_SIZE];
    const size_t length = decode_header_value(value.data(), value.size(), iconv_decode, out, HEADER_TEXT_SIZE);
    EXPECT_EQ(out[length], 0);
    return std::u16string(out, length);
}

std::string utf8(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\\u" + std::to_string(c);
    return out;
}

} // namespace

TEST(HeaderText, DecodesAsAMailProgramWould)
{
    const struct { const char* name; std::string value; std::u16string shown; } rows[] = {
        {"ISO-2022-JP, B", "=?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?=", u"こんにちは"},
        {"ISO-2022-JP half-width katakana", "=?iso-2022-jp?B?GyhJNkA2RRsoQg==?=", u"ｶﾀｶﾅ"},
        {"Shift_JIS, B", "=?Shift_JIS?B?ie+LY4LMjI8=?=", u"会議の件"},
        {"EUC-JP, Q", "=?EUC-JP?Q?=C6=FC=CB=DC=B8=EC?=", u"日本語"},
        {"UTF-8, Q with underscores", "=?utf-8?q?Re:_=E5=B1=B1=E7=94=B0_san?=", u"Re: 山田 san"},
        {"ISO-8859-1 read as windows-1252", "=?ISO-8859-1?Q?caf=E9_=80?=", u"café €"},
        {"a language after the charset", "=?UTF-8*ja?B?5bGx55Sw?=", u"山田"},
        {"folded", "Meeting\r\n about\r\n\tthe plan", u"Meeting about the plan"},
        {"blanks between adjacent words dropped", "=?UTF-8?B?44GT?=  \r\n =?UTF-8?B?44KT?=", u"こん"},
        {"a character split between two words", "=?UTF-8?B?44E=?= =?UTF-8?B?kw==?=", u"こ"},
        {"words beside plain text keep their blanks", "Re: =?UTF-8?B?5bGx55Sw?= san", u"Re: 山田 san"},
        {"broken B shown as it stands", "=?UTF-8?B?#?$?= x", u"=?UTF-8?B?#?$?= x"},
        {"broken Q shown as it stands", "=?UTF-8?Q?bad=Z1?=", u"=?UTF-8?Q?bad=Z1?="},
        {"unknown charset shown as it stands", "=?x-klingon?Q?abc?=", u"=?x-klingon?Q?abc?="},
        {"bytes its charset cannot read shown as they stand", "=?UTF-8?Q?=FF?=", u"=?UTF-8?Q?=FF?="},
        {"raw 8-bit UTF-8", "\xe5\xb1\xb1\xe7\x94\xb0", u"山田"},
        {"raw 8-bit that is no UTF-8: CP932", "\x89\xef\x8b\x63", u"会議"},
        {"bidirectional override and isolates removed", "=?UTF-8?B?4oCudHh0LmV4ZQ==?= \xe2\x81\xa6x\xe2\x81\xa9",
         u"txt.exe x"},
        {"control bytes removed", "a\x01\x1b[31mb\x7f", u"a[31mb"},
        {"line and paragraph separators as blanks", "a\xe2\x80\xa8\xe2\x80\xa9" "b", u"a b"},
        {"direction marks and the byte order mark removed", "\xef\xbb\xbf" "a\xe2\x80\x8e" "b\xe2\x80\x8f\xd8\x9c", u"ab"},
        {"zero-width characters at the ends removed, kept inside",
         "\xe2\x80\x8b" "a\xe2\x80\x8d" "b\xe2\x80\x8c", u"a\u200db"},
        {"raw ISO-2022-JP, as older mailers send it", "\x1b$B$3$s$K$A$O\x1b(B", u"こんにちは"},
        {"JIS X 0201 Roman", "=?ISO-2022-JP?B?GyRCJDMkcxsoSkFCQxsoQg==?=", u"こんABC"},
        {"raw UTF-8 cut for length on a character", [] { std::string v; for (int i = 0; i < 400; ++i) v += "\xe5\xb1\xb1"; return v; }(),
         std::u16string(HEADER_TEXT_SIZE - 1, u'山')},
        {"raw Shift_JIS cut for length on a character", std::string(1, 'a') + [] { std::string v; for (int i = 0; i < 600; ++i) v += "\x8e\x52"; return v; }(),
         u"a" + std::u16string(HEADER_TEXT_SIZE - 2, u'山')},
        {"a pair the cut would split left out", std::string(HEADER_TEXT_SIZE - 2, 'a') + "\xf0\x9f\x98\x80",
         std::u16string(HEADER_TEXT_SIZE - 2, u'a')},
    };
    for (const auto& row : rows)
        EXPECT_EQ(utf8(decoded(row.value)), utf8(row.shown)) << row.name;
}

TEST(HeaderText, SenderIsTheDisplayNameElseTheAddress)
{
    const struct { const char* from; std::u16string shown; } rows[] = {
        {"\"Taro \\\"T\\\" Yamada\" <taro@example.jp>", u"Taro \"T\" Yamada"},
        {"=?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <taro@example.jp>", u"山田太郎"},
        {"Taro Yamada (office) <taro@example.jp>", u"Taro Yamada"},
        {"taro@example.jp (Taro Yamada)", u"Taro Yamada"},
        {"\"=?UTF-8?B?5bGx55Sw?=\" <taro@example.jp>", u"山田"},
        {"<taro@example.jp>", u"taro@example.jp"},
        {"taro@example.jp", u"taro@example.jp"},
        {"\"\" <taro@example.jp>", u"taro@example.jp"},
    };
    for (const auto& row : rows) {
        char16_t out[HEADER_TEXT_SIZE];
        const size_t length = sender_name(row.from, strlen(row.from), iconv_decode, out, HEADER_TEXT_SIZE);
        EXPECT_EQ(utf8(std::u16string(out, length)), utf8(row.shown)) << row.from;
    }
}

TEST(HeaderText, FieldsOfAFetchedHeader)
{
    const std::string block = "From: a@b\r\nSubject: one\r\n two\r\nX-Subject: no\r\n\r\n";
    size_t length = 0;
    const char* value = header_field(block.data(), block.size(), "subject", &length);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(value, length), " one\r\n two\r");
    EXPECT_EQ(header_field(block.data(), block.size(), "Date", &length), nullptr);
}

TEST(HeaderText, BodyFitsWindowsLimitCutOnCharacterBoundaries)
{
    NoticeLine lines[3] = {};
    auto set = [](char16_t* out, const std::u16string& text) { memcpy(out, text.data(), text.size() * 2); };
    set(lines[0].sender, u"山田");
    set(lines[0].subject, u"会議");
    set(lines[1].sender, u"a@b");
    // A subject longer than the line's share, with a surrogate pair where the cut falls.
    std::u16string long_subject(75, u'x');
    long_subject += u"😀😀😀";
    set(lines[1].subject, long_subject);
    set(lines[2].sender, u"c");
    char16_t out[HEADER_TEXT_SIZE];
    const struct { int count, more; std::u16string body; } rows[] = {
        {1, 0, u"山田: 会議"},
        {1, 4, u"山田: 会議\nほか4通"},
        {3, 12, u"山田: 会議\na@b: " + std::u16string(75, u'x') + u"…\nc\nほか12通"},
        {0, 7, u"ほか7通"},
    };
    for (const auto& row : rows) {
        const size_t length = compose_notice_body(lines, row.count, row.more, out, HEADER_TEXT_SIZE);
        EXPECT_LE(length, NOTICE_TEXT_LIMIT);
        EXPECT_EQ(utf8(std::u16string(out, length)), utf8(row.body));
    }
}
