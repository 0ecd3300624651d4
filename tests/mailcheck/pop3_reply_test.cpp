// Reply lines out of received bytes, the STAT count and the command lines.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "mailcheck/pop3_reply.h"

namespace {

// Feeds the stream in pieces of the given size and collects the complete lines.
std::vector<std::string> lines_of(const std::string& stream, size_t piece)
{
    std::vector<std::string> lines;
    ReplyLine line;
    reply_line_reset(&line);
    size_t at = 0;
    while (at < stream.size()) {
        size_t size = std::min(piece, stream.size() - at);
        size_t taken = 0;
        while (taken < size) {
            taken += reply_line_feed(&line, stream.data() + at + taken, size - taken);
            if (line.complete) {
                lines.push_back(std::string(line.text, line.length));
                reply_line_reset(&line);
            }
        }
        at += size;
    }
    if (line.length > 0)
        lines.push_back("<incomplete>" + std::string(line.text, line.length));
    return lines;
}

} // namespace

TEST(ReplyLine, CompleteOnlyAtItsLineEndWhateverThePieces)
{
    struct Row { std::string stream; std::vector<std::string> lines; } rows[] = {
        {"+OK Dovecot ready.\r\n", {"+OK Dovecot ready."}},
        {"+OK\n", {"+OK"}},
        {"+OK a\r\n+OK b\r\n", {"+OK a", "+OK b"}},            // two replies in one packet
        {"-ERR [AUTH] no\r\n", {"-ERR [AUTH] no"}},
        {"+OK half", {"<incomplete>+OK half"}},
        {"\r\n", {""}},
        {"+OK a\rb\r\n", {"+OK a\rb"}},                       // a CR inside stays
        {std::string("+OK \0bin\xff\r\n", 11), {std::string("+OK \0bin\xff", 9)}},
    };
    for (const Row& row : rows)
        for (size_t piece : {size_t(1), size_t(2), size_t(7), size_t(255), size_t(4096)})
            EXPECT_EQ(lines_of(row.stream, piece), row.lines) << row.stream << " piece " << piece;
}

TEST(ReplyLine, OverLongLineIsCutAndTheRestDropped)
{
    std::string stream = "+OK " + std::string(70000, 'x') + "\r\n+OK next\r\n";
    std::vector<std::string> lines = lines_of(stream, 255);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), REPLY_BUFFER_SIZE - 1);
    EXPECT_EQ(lines[0].substr(0, 5), "+OK x");
    EXPECT_EQ(lines[1], "+OK next");
}

TEST(ReplyLine, TakesNothingAfterTheLineEnd)
{
    ReplyLine line;
    reply_line_reset(&line);
    const char data[] = "+OK 1\r\n-ERR next";
    EXPECT_EQ(reply_line_feed(&line, data, sizeof data - 1), 7u);
    EXPECT_TRUE(line.complete);
    EXPECT_STREQ(line.text, "+OK 1");
}

TEST(ReplyLine, WatchedWordOnlyAsAWholeWord)
{
    const struct { const char* what; std::string text; bool found; } rows[] = {
        {"in brackets, any case", "a1 OK [CAPABILITY IMAP4rev1 idle] in\r\n", true},
        {"at the line end", "* CAPABILITY IDLE\r\n", true},
        {"a longer word", "* CAPABILITY IDLEX\r\n", false},
        {"NUL bytes after it", std::string("* CAPABILITY IDLE\0\0\0\0 X\r\n", 25), false},
    };
    for (const auto& row : rows) {
        ReplyLine line;
        reply_line_reset(&line, "IDLE");
        reply_line_feed(&line, row.text.data(), row.text.size());
        EXPECT_EQ(line.watch_found, row.found) << row.what;
    }
}

TEST(ReplyLine, TooLongOnlyPastTheLimitWithoutALineEnd)
{
    struct Row { size_t bytes; bool line_end; bool too_long; } rows[] = {
        {REPLY_LINE_LIMIT, false, false},
        {REPLY_LINE_LIMIT + 1, false, true},
        {REPLY_LINE_LIMIT + 100, true, false},   // ended: a long reply, cut, not a flood
    };
    for (const Row& row : rows) {
        std::string stream(row.bytes, 'x');
        if (row.line_end)
            stream += "\n";
        ReplyLine line;
        reply_line_reset(&line);
        for (size_t at = 0; at < stream.size(); at += 1000)
            reply_line_feed(&line, stream.data() + at, std::min<size_t>(1000, stream.size() - at));
        EXPECT_EQ(reply_line_too_long(&line), row.too_long) << row.bytes;
    }
}

TEST(StatCount, SecondTokenAsDecimal)
{
    struct Row { const char* reply; int32_t count; } rows[] = {
        {"+OK 3 420", 3}, {"+OK 0 0", 0}, {"+OK", 0}, {"", 0}, {"+OK ", 0},
        {"  +OK\t\t12  99", 12}, {"+OK 5abc 1", 5}, {"+OK abc 1", 0}, {"-ERR no", 0},
        {"+OK 4294967295 1", -1}, {"+OK 12345678901 1", -539222987},
        {"+OK -3 0", -3}, {"+OK +7 0", 7},
    };
    for (const Row& row : rows)
        EXPECT_EQ(stat_message_count(row.reply), row.count) << row.reply;
}

TEST(Command, FormatsAndFitsTheLongestValue)
{
    char out[COMMAND_BUFFER_SIZE];
    build_command(out, sizeof out, "USER", "taro");
    EXPECT_STREQ(out, "USER taro\r\n");
    build_command(out, sizeof out, "USER", "");
    EXPECT_STREQ(out, "USER \r\n");
    build_command(out, sizeof out, "PASS", "%s%n%d");   // never a format
    EXPECT_STREQ(out, "PASS %s%n%d\r\n");

    std::string longest(254, 'a');
    build_command(out, sizeof out, "USER", longest.c_str());
    EXPECT_EQ(std::string(out), "USER " + longest + "\r\n");
    EXPECT_EQ(strlen(out), COMMAND_BUFFER_SIZE - 1);

    std::string longer(300, 'b');
    build_command(out, sizeof out, "PASS", longer.c_str());
    EXPECT_EQ(std::string(out), "PASS " + std::string(254, 'b') + "\r\n");
}

// A message's number and unique id, from UIDL's list or its one-line answer.
TEST(Pop3Reply, UidlEntryIsANumberAndAnId)
{
    const std::string longest(70, 'z');
    const struct { const char* name; std::string text; int32_t number; std::string id; } rows[] = {   // number 0: none
        {"message number, blank, unique id: taken", "3 abc", 3, "abc"},
        {"blanks around and between", " 12  <x.y@z>  ", 12, "<x.y@z>"},
        {"the largest number, the longest id", "2147483647 " + longest, 2147483647, longest},
        {"an id one character too long", "1 " + longest + "z", 0, ""},
        {"a number past 32 bits", "2147483648 a", 0, ""},
        {"no message is numbered 0", "0 a", 0, ""},
        {"no id", "3", 0, ""},
        {"a blank but no id", "3 ", 0, ""},
        {"no number", "x a", 0, ""},
        {"a word after the id: refused", "3 a b", 0, ""},
        {"an id holding a control byte: refused", "3 a\x01", 0, ""},
    };
    for (const auto& row : rows) {
        int32_t number = 0;
        char id[UIDL_ID_SIZE] = "";
        EXPECT_EQ(uidl_entry(row.text.c_str(), &number, id), row.number != 0) << row.name;
        EXPECT_EQ(row.number != 0 ? number : 0, row.number) << row.name;
        EXPECT_EQ(std::string(id), row.id) << row.name;
    }
}
