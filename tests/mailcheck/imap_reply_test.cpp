// IMAP reply lines as the unread count needs them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailcheck/imap_reply.h"

TEST(ImapReply, StatusGivesTheUnseenCountOrNothing)
{
    struct Row { const char* line; int32_t count; uint32_t uidnext = 0, validity = 0; } rows[] = {   // count -1: no count
        {"* STATUS INBOX (UNSEEN 3)", 3},
        {"* status inbox (unseen 0)", 0},
        {"* STATUS \"INBOX\" (MESSAGES 5 UNSEEN 2 UIDNEXT 44)", 2, 44},
        {"* STATUS INBOX (UIDNEXT 4294967295 UNSEEN 1)", 1, 4294967295u},
        {"* STATUS INBOX (UIDVALIDITY 1700000000 UNSEEN 4 UIDNEXT 9)", 4, 9, 1700000000u},
        {"* STATUS INBOX (UNSEEN 1 UIDNEXT 4294967296)", -1},
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
        uint32_t uidnext = 0, validity = 0;
        EXPECT_EQ(imap_status(row.line, &count, &uidnext, &validity), row.count >= 0 ? 1 : 0) << row.line;
        EXPECT_EQ(count, row.count) << row.line;
        EXPECT_EQ(uidnext, row.uidnext) << row.line;
        EXPECT_EQ(validity, row.validity) << row.line;
    }
}

// Who wrote: the newest unread UIDs, and each header announced as a literal.
TEST(ImapReply, SearchKeepsTheNewestAndFetchAnnouncesItsLiteral)
{
    struct SearchRow { const char* line; std::vector<uint32_t> newest; } searches[] = {
        {"* SEARCH 3 17 5 9 4", {17, 9, 5}},
        {"* SEARCH 8", {8}},
        {"* SEARCH", {}},
        {"* search 2 4294967295", {4294967295u, 2}},
    };
    for (const SearchRow& row : searches) {
        uint32_t newest[3] = {};
        int count = 0;
        EXPECT_TRUE(imap_search_newest(row.line, newest, 3, &count)) << row.line;
        EXPECT_EQ(std::vector<uint32_t>(newest, newest + count), row.newest) << row.line;
    }
    for (const char* line : {"* SEARCH 3 x", "* SEARCH 4294967296", "* 3 EXISTS", "a5 OK SEARCH done"}) {
        uint32_t newest[3] = {};
        int count = 0;
        EXPECT_FALSE(imap_search_newest(line, newest, 3, &count)) << line;
    }
    struct FetchRow { const char* line; bool literal; uint32_t uid; size_t size; } fetches[] = {
        {"* 12 FETCH (UID 9 BODY[HEADER.FIELDS (FROM SUBJECT)] {84}", true, 9, 84},
        {"* 1 FETCH (BODY[HEADER.FIELDS (\"FROM\" \"SUBJECT\")] {0}", true, 0, 0},   // its UID after it
        {"* 2 fetch (FLAGS (\\Recent) BODY[HEADER.FIELDS (FROM SUBJECT)] {7}", true, 0, 7},
        {"* 3 FETCH (UID 5 BODY[HEADER.FIELDS (FROM SUBJECT)] \"\")", false, 0, 0},
        {"* 3 FETCH (UID 5 {99999999999}", false, 0, 0},
        {"* 3 EXISTS {5}", false, 0, 0},
    };
    // What follows the literal: the UID where a server puts it last.
    for (const auto& rest : {std::make_pair(" UID 10)", 10u), std::make_pair(" FLAGS (\\Seen) UID 7)", 7u),
                             std::make_pair(")", 0u), std::make_pair(" XUID 4)", 0u)}) {
        uint32_t uid = 0;
        EXPECT_EQ(imap_fetch_uid(rest.first, &uid), rest.second != 0) << rest.first;
        EXPECT_EQ(uid, rest.second) << rest.first;
    }
    for (const FetchRow& row : fetches) {
        uint32_t uid = 0;
        size_t size = 0;
        EXPECT_EQ(imap_fetch_literal(row.line, &uid, &size), row.literal) << row.line;
        if (row.literal) {
            EXPECT_EQ(uid, row.uid) << row.line;
            EXPECT_EQ(size, row.size) << row.line;
        }
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

// What an IDLE client hears: a change runs a check, anything else is a sign of life.
TEST(ImapReply, MailboxChangesWhileIdling)
{
    struct Row { const char* line; bool changed; } rows[] = {
        {"* 4 EXISTS", true}, {"* 2 expunge", true}, {"* 1 RECENT", true}, {"* 3 FETCH (FLAGS (\\Seen))", true},
        {"* OK Still here", false}, {"* 4 EXISTSX", false}, {"* EXISTS", false}, {"a1 4 EXISTS", false},
        {"* 4  EXISTS", false}, {"* 99999999999 EXISTS", false}, {"+ idling", false}, {"", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(imap_mailbox_changed(row.line), row.changed) << row.line;
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
