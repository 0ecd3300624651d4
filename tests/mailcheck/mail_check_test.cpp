// The POP3 status check against a scripted server on loopback: what the user
// sees, what the server receives, and that the socket is closed first.
#include <gtest/gtest.h>

#include <string.h>

#include "mailcheck/mail_check.h"
#include "settings/user_settings.h"
#include "tests/support/import_redirect.h"
#include "tests/support/message_box_hook.h"
#include "tests/support/pop3_script_server.h"
#include "tests/support/recording_doubles.h"

// Every send the check makes passes through here (its import slot is
// redirected), so a test can count the calls and their bytes.
extern "C" int(WSAAPI* send_slot)(SOCKET, const char*, int, int) IMPORT_SLOT(send, 16);

namespace {

std::vector<std::string> sends;
DWORD checking_thread;   // the scripted server sends from a thread of its own
int(WSAAPI* real_send)(SOCKET, const char*, int, int);

int WSAAPI recording_send(SOCKET s, const char* data, int length, int flags)
{
    if (GetCurrentThreadId() == checking_thread)
        sends.push_back(std::string(data, length > 0 ? static_cast<size_t>(length) : 0));
    return real_send(s, data, length, flags);
}

void record_sends()
{
    sends.clear();
    checking_thread = GetCurrentThreadId();
    if (real_send != nullptr)
        return;
    real_send = redirect_import(&send_slot, recording_send);
}

const char* const SERVER = "127.0.0.2";

class MailCheck : public testing::Test {
protected:
    void SetUp() override
    {
        owner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
        memset(&user_settings, 0, sizeof user_settings);
        strcpy(user_settings.pop_server, SERVER);
        strcpy(user_settings.account, "taro");
        strcpy(user_settings.password, "secret");
        strcpy(user_settings.check_time, "300");
        user_settings.sound_on = 1;
        recorded_calls.clear();
    }
    void TearDown() override { DestroyWindow(owner); }

    HWND owner = nullptr;
};

ScriptStep ok(const char* text) { return ScriptStep{text}; }
ScriptStep then_end(const char* text, StepEnd end) { return ScriptStep{text, end}; }


} // namespace

TEST_F(MailCheck, FailureTable)
{
    struct Row {
        const char* name;
        std::vector<ScriptStep> steps;
        const char* message;       // what the error box says
        const char* client_sent;   // what the server received
        bool server_sees_close;    // the server could still watch the client close
    } rows[] = {
        {"closed before greeting", {then_end("", StepEnd::close)}, RECEIVE_FAILED, "", true},
        {"greeting -ERR", {ok("-ERR too busy, try later\r\n")}, "-ERR too busy, try later", "", true},
        {"closed after greeting", {then_end("+OK ready\r\n", StepEnd::close)}, RECEIVE_FAILED,
         "USER taro\r\n", true},
        {"USER -ERR", {ok("+OK ready\r\n"), ok("-ERR no such user\r\n")}, "-ERR no such user",
         "USER taro\r\n", true},
        {"PASS -ERR [AUTH]", {ok("+OK\r\n"), ok("+OK\r\n"), ok("-ERR [AUTH] Authentication failed.\r\n")},
         "-ERR [AUTH] Authentication failed.", "USER taro\r\nPASS secret\r\n", true},
        {"PASS -ERR [IN-USE]", {ok("+OK\r\n"), ok("+OK\r\n"), ok("-ERR [IN-USE] locked\n")},
         "-ERR [IN-USE] locked", "USER taro\r\nPASS secret\r\n", true},
        {"STAT -ERR", {ok("+OK\r\n"), ok("+OK\r\n"), ok("+OK\r\n"), ok("-ERR mailbox gone\r\n")},
         "-ERR mailbox gone", "USER taro\r\nPASS secret\r\nSTAT\r\n", true},
        {"closed at STAT", {ok("+OK\r\n"), ok("+OK\r\n"), ok("+OK\r\n"), then_end("", StepEnd::close)},
         STAT_RECEIVE_FAILED, "USER taro\r\nPASS secret\r\nSTAT\r\n", true},
        {"STAT reply cut short", {ok("+OK\r\n"), ok("+OK\r\n"), ok("+OK\r\n"), then_end("+OK 3", StepEnd::close)},
         STAT_RECEIVE_FAILED, "USER taro\r\nPASS secret\r\nSTAT\r\n", true},
        {"reset during PASS", {ok("+OK\r\n"), ok("+OK\r\n"), then_end("", StepEnd::reset)},
         RECEIVE_FAILED, "USER taro\r\nPASS secret\r\n", false},
        {"server text is no format", {ok("+OK\r\n"), ok("-ERR %s%n%x %d\r\n")}, "-ERR %s%n%x %d",
         "USER taro\r\n", true},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorded_calls.clear();
        ScriptServer server(SERVER, row.steps);
        ASSERT_TRUE(server.listening());
        MessageBoxHook hook;
        bool closed_before_box = false;
        hook.on_box = [&](const SeenBox&) { closed_before_box = server.wait_client_closed(3000); };

        EXPECT_EQ(check_mailbox(owner), 0);
        std::string sent = server.finish();

        expect_one_error_box(hook, row.message, owner);
        if (row.server_sees_close) {
            EXPECT_TRUE(closed_before_box) << "the socket was still open while the box showed";
        }
        EXPECT_EQ(sent, row.client_sent);
        EXPECT_EQ(mail_socket, INVALID_SOCKET);
        EXPECT_TRUE(recorded_calls.empty());
    }
}

TEST_F(MailCheck, ConnectionRefused)
{
    strcpy(user_settings.pop_server, "127.0.0.3");   // nothing listens there
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(owner), 0);
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text, "Mail connect error");
    EXPECT_EQ(hook.boxes[0].caption, "Error");
    EXPECT_EQ(mail_socket, INVALID_SOCKET);
}

TEST_F(MailCheck, SuccessSendsExactlyThreeCommandsAndShowsTheNotice)
{
    struct Row {
        const char* name;
        const char* stat_reply;
        int sound_on;
        size_t piece;
        std::vector<std::string> calls;
    } rows[] = {
        {"three", "+OK 3 420\r\n", 1, 0, {"sound", "remove_mail", "add_mail:合計3通のメールが着ています"}},
        {"sound off", "+OK 3 420\r\n", 0, 0, {"remove_mail", "add_mail:合計3通のメールが着ています"}},
        {"one byte at a time", "+OK 12 999\r\n", 1, 1, {"sound", "remove_mail", "add_mail:合計12通のメールが着ています"}},
        {"ten digits", "+OK 2147483647 1\n", 0, 0, {"remove_mail", "add_mail:合計2147483647通のメールが着ています"}},
        {"empty mailbox", "+OK 0 0\r\n", 1, 0, {}},
        {"no count", "+OK\r\n", 1, 0, {}},
        {"count wraps negative", "+OK 4294967295 1\r\n", 1, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorded_calls.clear();
        user_settings.sound_on = row.sound_on;
        std::vector<ScriptStep> steps = {ok("+OK POP3 ready\r\n"), ok("+OK\r\n"),
                                         ok("+OK Logged in.\r\n"), ok(row.stat_reply)};
        for (ScriptStep& step : steps) {
            step.piece_size = row.piece;
            step.piece_delay_ms = row.piece ? 2 : 0;
        }
        ScriptServer server(SERVER, steps);
        MessageBoxHook hook;
        record_sends();
        EXPECT_EQ(check_mailbox(owner), 1);
        EXPECT_TRUE(server.wait_client_closed(3000));
        EXPECT_EQ(server.finish(), "USER taro\r\nPASS secret\r\nSTAT\r\n");   // and no QUIT
        // The floor: three commands, each in one send, nothing else.
        std::vector<std::string> expected_sends = {"USER taro\r\n", "PASS secret\r\n", "STAT\r\n"};
        EXPECT_EQ(sends, expected_sends);
        EXPECT_TRUE(hook.boxes.empty());
        EXPECT_EQ(recorded_calls, row.calls);
        EXPECT_EQ(mail_socket, INVALID_SOCKET);
    }
}

TEST_F(MailCheck, EmptyAccountStillSendsUser)
{
    user_settings.account[0] = '\0';
    ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
    EXPECT_EQ(check_mailbox(owner), 1);
    server.wait_client_closed(3000);
    EXPECT_EQ(server.finish(), "USER \r\nPASS secret\r\nSTAT\r\n");
}

TEST_F(MailCheck, RepliesAreJudgedWholeAndInOrder)
{
    // The -ERR arrives only after a pause inside the line: judged by its
    // first piece, the check would take "+" for success.
    {
        ScriptStep pass_reply{"-ERR [AUTH] Authentication failed.\r\n"};
        pass_reply.piece_size = 1;
        pass_reply.piece_delay_ms = 1;
        ScriptServer server(SERVER, {ok("+OK hello\r\n"), ok("+OK\r\n"), pass_reply});
        ASSERT_TRUE(server.listening());
        MessageBoxHook hook;
        EXPECT_EQ(check_mailbox(owner), 0);
        ASSERT_EQ(hook.boxes.size(), 1u);
        EXPECT_EQ(hook.boxes[0].text, "-ERR [AUTH] Authentication failed.");
    }
    // Two replies in one packet: the second is the answer to USER, not part
    // of the greeting.
    {
        ScriptServer server(SERVER, {ok("+OK hi\r\n-ERR no\r\n")});
        ASSERT_TRUE(server.listening());
        MessageBoxHook hook;
        EXPECT_EQ(check_mailbox(owner), 0);
        ASSERT_EQ(hook.boxes.size(), 1u);
        EXPECT_EQ(hook.boxes[0].text, "-ERR no");
        server.finish();
    }
}

TEST_F(MailCheck, OverLongErrorIsCutToTheReplyBuffer)
{
    // Far longer than RFC 1939 allows, yet ended within the 64 KiB a line may take.
    std::string reply = "-ERR " + std::string(60000, 'x') + "\r\n";
    ScriptServer server(SERVER, {ok("+OK\r\n"), ok(reply.c_str())});
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(owner), 0);
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text, reply.substr(0, 255));
}

TEST_F(MailCheck, SendFailureIsReported)
{
    // The server answers USER and resets at once; PASS then cannot be sent.
    ScriptServer server(SERVER, {ok("+OK\r\n"), then_end("+OK\r\n", StepEnd::reset)});
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(owner), 0);
    ASSERT_EQ(hook.boxes.size(), 1u);
    // Depending on when the reset lands, either the PASS send or its reply fails.
    EXPECT_TRUE(hook.boxes[0].text == SEND_FAILED || hook.boxes[0].text == RECEIVE_FAILED)
        << hook.boxes[0].text;
}

TEST_F(MailCheck, SilentServerTimesOut)
{
    ScriptServer server(SERVER, {then_end("", StepEnd::hang)});
    MessageBoxHook hook;
    bool closed_before_box = false;
    hook.on_box = [&](const SeenBox&) { closed_before_box = server.wait_client_closed(3000); };
    DWORD start = GetTickCount();
    EXPECT_EQ(check_mailbox(owner), 0);
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, MAIL_SOCKET_TIMEOUT_MS - 1000);
    EXPECT_LT(waited, MAIL_SOCKET_TIMEOUT_MS + 10000);
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text, RECEIVE_FAILED);
    EXPECT_TRUE(closed_before_box);
}

// Run inside a private network namespace (see CMake): no resolver is reachable.
TEST_F(MailCheck, UnresolvableServer)
{
    strcpy(user_settings.pop_server, "no-such-host.invalid");
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(owner), 0);
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text, "POPサーバー名取得に失敗");
    EXPECT_EQ(hook.boxes[0].caption, "Error");
    EXPECT_EQ(hook.boxes[0].icon, BoxIcon::error);
    EXPECT_EQ(mail_socket, INVALID_SOCKET);
}

TEST(StartNetwork, StartsVersionTwoTwo)
{
    MessageBoxHook hook;
    EXPECT_EQ(start_network(nullptr), 1);
    EXPECT_TRUE(hook.boxes.empty());
    WSACleanup();
}
