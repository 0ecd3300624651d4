// IMAP reply lines as the unread count needs them.
#include <gtest/gtest.h>

#include <string>

#include "mailcheck/imap_reply.h"

TEST(ImapReply, StatusGivesTheUnseenCountOrNothing)
{
    struct Row { const char* line; int32_t count; } rows[] = {   // count -1: no count
        {"* STATUS INBOX (UNSEEN 3)", 3},
        {"* status inbox (unseen 0)", 0},
        {"* STATUS \"INBOX\" (MESSAGES 5 UNSEEN 2 UIDNEXT 44)", 2},
        {"* STATUS \"In \\\"box\\\\\" (UNSEEN 7)", 7},
        {"* STATUS INBOX (UNSEEN 2147483647) ", 2147483647},
        {"* STATUS INBOX (MESSAGES 5)", -1},
        {"* STATUS INBOX (UNSEEN 2147483648)", -1},
        {"* STATUS INBOX (UNSEEN -1)", -1},
        {"* STATUS INBOX (UNSEEN x)", -1},
        {"* STATUS INBOX (UNSEEN 3x)", -1},
        {"* STATUS INBOX (UNSEEN)", -1},
        {"* STATUS INBOX (UNSEEN 3", -1},
        {"* STATUS INBOX (UNSEEN 3) trailing", -1},
        {"* STATUS {5}", -1},
        {"* STATUS \"INBOX (UNSEEN 3)", -1},
        {"* STATUS INBOX UNSEEN 3", -1},
        {"* STATUSX INBOX (UNSEEN 3)", -1},
        {"a2 STATUS INBOX (UNSEEN 3)", -1},
        {"* 3 EXISTS", -1},
        {"", -1},
    };
    for (const Row& row : rows) {
        int32_t count = -1;
        EXPECT_EQ(imap_unseen_count(row.line, &count), row.count >= 0 ? 1 : 0) << row.line;
        EXPECT_EQ(count, row.count) << row.line;
    }
}

TEST(ImapReply, GreetingsAndTaggedEnds)
{
    EXPECT_EQ(imap_greeting("* OK [CAPABILITY IMAP4rev1] ready"), ImapGreeting::ok);
    EXPECT_EQ(imap_greeting("* ok"), ImapGreeting::ok);
    EXPECT_EQ(imap_greeting("* PREAUTH logged in"), ImapGreeting::preauth);
    EXPECT_EQ(imap_greeting("* BYE too many"), ImapGreeting::bye);
    EXPECT_EQ(imap_greeting("+OK Dovecot ready."), ImapGreeting::malformed);   // a POP3 server
    EXPECT_EQ(imap_greeting("* OKAY"), ImapGreeting::malformed);
    struct Row { const char* line; ImapLine kind; } rows[] = {
        {"a1 OK done", ImapLine::ok}, {"a1 ok", ImapLine::ok}, {"a1 NO [AUTHENTICATIONFAILED] no", ImapLine::no},
        {"a1 BAD what", ImapLine::bad}, {"* CAPABILITY IMAP4rev1", ImapLine::untagged},
        {"+ go ahead", ImapLine::continuation}, {"+", ImapLine::continuation}, {"a10 OK", ImapLine::other},
        {"a2 OK", ImapLine::other}, {"a1 OKAY", ImapLine::other}, {"a1", ImapLine::other}, {"", ImapLine::other},
    };
    for (const Row& row : rows)
        EXPECT_EQ(imap_line_kind(row.line, "a1"), row.kind) << row.line;
    EXPECT_TRUE(imap_has_atom("* OK [CAPABILITY IMAP4rev1 LOGINDISABLED] ready", "LOGINDISABLED"));
    EXPECT_FALSE(imap_has_atom("* OK [CAPABILITY IMAP4rev1 XLOGINDISABLED] ready", "LOGINDISABLED"));
    EXPECT_FALSE(imap_has_atom("* OK [CAPABILITY LOGINDISABLEDX] ready", "LOGINDISABLED"));
}

TEST(ImapReply, QuotedStringsOrALiteral)
{
    struct Row { const char* value; const char* quoted; } rows[] = {   // quoted nullptr: a literal
        {"taro", "\"taro\""}, {"", "\"\""}, {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"p\xe4ss", nullptr}, {"line\r\nA2 LOGOUT", nullptr}, {"\x82\xa0", nullptr},
    };
    for (const Row& row : rows) {
        char out[32];
        const size_t length = imap_quote(out, sizeof out, row.value);
        EXPECT_EQ(length != 0, row.quoted != nullptr) << row.value;
        if (row.quoted != nullptr) {
            EXPECT_EQ(std::string(out, length), row.quoted);
        }
    }
    // Every byte of the longest value escaped still fits its buffer, and no further.
    const std::string worst(254, '"');
    char out[2 * 254 + 3];
    EXPECT_EQ(imap_quote(out, sizeof out, worst.c_str()), sizeof out - 1);
    EXPECT_EQ(imap_quote(out, sizeof out - 1, worst.c_str()), 0u);
}
