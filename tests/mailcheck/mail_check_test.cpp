// The POP3 status check against a scripted server on loopback: what the user
// sees, what the server receives, and that the socket is closed first.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <thread>

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

namespace {

// Forwards one connection to a server, handing the server's bytes to the
// client a few at a time: TLS records then arrive in pieces.
class PieceRelay {
public:
    PieceRelay(const char* address, const char* server, size_t piece) : piece_(piece)
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        BOOL reuse = TRUE;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
        sockaddr_in where = {};
        where.sin_family = AF_INET;
        where.sin_port = htons(995);
        where.sin_addr.s_addr = inet_addr(address);
        server_ = where;
        server_.sin_addr.s_addr = inet_addr(server);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0
            && listen(listener_, 1) == 0)
            thread_ = std::thread([this] { run(); });
    }
    ~PieceRelay()
    {
        closesocket(listener_);
        if (thread_.joinable())
            thread_.join();
    }

private:
    void run()
    {
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            return;
        SOCKET server = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(server, reinterpret_cast<sockaddr*>(&server_), sizeof server_) == 0) {
            for (;;) {
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(client, &readable);
                FD_SET(server, &readable);
                timeval tick = {5, 0};
                if (select(0, &readable, nullptr, nullptr, &tick) <= 0)
                    break;
                char buffer[4096];
                if (FD_ISSET(client, &readable)) {
                    int got = recv(client, buffer, sizeof buffer, 0);
                    if (got <= 0 || send(server, buffer, got, 0) != got)
                        break;
                }
                if (FD_ISSET(server, &readable)) {
                    int got = recv(server, buffer, sizeof buffer, 0);
                    if (got <= 0)
                        break;
                    for (int at = 0; at < got; at += static_cast<int>(piece_)) {
                        int length = got - at < static_cast<int>(piece_) ? got - at : static_cast<int>(piece_);
                        send(client, buffer + at, length, 0);
                        Sleep(1);
                    }
                }
            }
        }
        closesocket(server);
        closesocket(client);
    }

    size_t piece_;
    SOCKET listener_;
    sockaddr_in server_;
    std::thread thread_;
};

const char* const NOTICE_3 = "add_mail:合計3通のメールが着ています";

struct SecureRow {
    const char* name;
    const char* server;               // the POP server field
    const char* box;                  // the error box, or none: then the notice for 3
    std::vector<ScriptStep> script;   // a scripted server on SERVER instead of Dovecot
    const char* script_received;      // what that server must have received (none: a ClientHello)
    size_t piece;                     // relay Dovecot's bytes in pieces of this size
};

class SecureMailbox : public MailCheck {
protected:
    void SetUp() override
    {
        MailCheck::SetUp();
        strcpy(user_settings.account, "poptest");
        strcpy(user_settings.password, "Secr3t");
        user_settings.sound_on = 0;
    }

    void check(const SecureRow& row)
    {
        SCOPED_TRACE(row.name);
        strcpy(user_settings.pop_server, row.server);
        recorded_calls.clear();
        std::unique_ptr<ScriptServer> script;
        if (!row.script.empty()) {
            script.reset(new ScriptServer(SERVER, row.script));
            ASSERT_TRUE(script->listening());
        }
        std::unique_ptr<PieceRelay> relay;
        if (row.piece > 0)
            relay.reset(new PieceRelay("127.0.0.26", "127.0.0.21", row.piece));
        MessageBoxHook hook;
        record_sends();
        EXPECT_EQ(check_mailbox(owner), row.box == nullptr ? 1 : 0);
        if (row.box != nullptr) {
            expect_one_error_box(hook, row.box, owner);
            EXPECT_TRUE(recorded_calls.empty());
        } else {
            EXPECT_TRUE(hook.boxes.empty());
            EXPECT_EQ(recorded_calls, (std::vector<std::string>{"remove_mail", NOTICE_3}));
        }
        // The login never crosses the network readable.
        for (const std::string& sent : sends) {
            EXPECT_EQ(sent.find("USER"), std::string::npos);
            EXPECT_EQ(sent.find("PASS"), std::string::npos);
            EXPECT_EQ(sent.find("Secr3t"), std::string::npos);
        }
        EXPECT_EQ(mail_socket, INVALID_SOCKET);
        if (script) {
            script->wait_client_closed(3000);
            const std::string received = script->finish();
            if (row.script_received != nullptr) {
                EXPECT_EQ(received, row.script_received);
            } else {   // a ClientHello and nothing else
                EXPECT_EQ(received.substr(0, 2), "\x16\x03");
            }
        }
    }
};

ScriptStep step(const char* reply, StepEnd end = StepEnd::next) { return ScriptStep{reply, end}; }

} // namespace

// Dovecot with TLS on its own addresses (tests/support/tls-mailbox), the
// test CA trusted in this prefix only, pop.quillbeam.test in a private hosts
// file (see CMake).
TEST_F(SecureMailbox, DovecotCertificates)
{
    const SecureRow rows[] = {
        {"pop3s by address", "pop3s://127.0.0.21", nullptr, {}, "", 0},
        {":995 by address", "127.0.0.21:995", nullptr, {}, "", 0},
        {"STLS by address", "starttls://127.0.0.21", nullptr, {}, "", 0},
        {"pop3s by name", "POP3S://pop.quillbeam.test", nullptr, {}, "", 0},
        {"STLS by name", "starttls://pop.quillbeam.test:110", nullptr, {}, "", 0},
        {"wrong name", "pop3s://other.quillbeam.test", NAME_MISMATCH, {}, "", 0},
        {"other address", "pop3s://127.0.0.25", NAME_MISMATCH, {}, "", 0},
        {"expired", "pop3s://127.0.0.22", EXPIRED, {}, "", 0},
        {"untrusted CA, leaf only", "pop3s://127.0.0.24", UNTRUSTED, {}, "", 0},
        {"self-signed", "pop3s://127.0.0.23", UNTRUSTED, {}, "", 0},
        {"self-signed after STLS", "starttls://127.0.0.23", UNTRUSTED, {}, "", 0},
    };
    for (const SecureRow& row : rows)
        check(row);
}

TEST_F(SecureMailbox, RecordsInPiecesOfOneToSevenBytes)
{
    for (size_t piece = 1; piece <= 7; ++piece)
        check({"pieces", "pop3s://127.0.0.26", nullptr, {}, "", piece});
}

TEST_F(SecureMailbox, ServersThatFailTheHandshake)
{
    const SecureRow rows[] = {
        {"plain server on a TLS port", "pop3s://127.0.0.2:110", NOT_TLS, {step("+OK ready\r\n")}, nullptr, 0},
        {"closed mid-handshake", "pop3s://127.0.0.2:110", HANDSHAKE_FAILED,
         {step("", StepEnd::close)}, nullptr, 0},
        {"STLS refused", "starttls://127.0.0.2", "-ERR not now",
         {step("+OK\r\n"), step("-ERR not now\r\n")}, "STLS\r\n", 0},
        {"STLS injection", "starttls://127.0.0.2", "STLSの後に暗号化されていないデータを受信しました",
         {step("+OK\r\n"), step("+OK Begin TLS\r\n+OK 9 9\r\n")}, "STLS\r\n", 0},
    };
    for (const SecureRow& row : rows)
        check(row);
    // Silent mid-handshake: bounded by the reply deadline.
    DWORD start = GetTickCount();
    check({"silent mid-handshake", "pop3s://127.0.0.2:110", HANDSHAKE_FAILED,
           {step("", StepEnd::hang)}, nullptr, 0});
    EXPECT_LT(GetTickCount() - start, MAIL_SOCKET_TIMEOUT_MS + 10000);
}

TEST_F(MailCheck, ServerFieldThatFitsNoFormSendsNothing)
{
    for (const char* text : {"127.0.0.2:", "127.0.0.2:0", "127.0.0.2:70000", "imap://127.0.0.2"}) {
        SCOPED_TRACE(text);
        ScriptServer server(SERVER, mailbox("+OK 1 1\r\n"));
        strcpy(user_settings.pop_server, text);
        MessageBoxHook hook;
        EXPECT_EQ(check_mailbox(owner), 0);
        expect_one_error_box(hook, "POPサーバー名の書式が正しくありません", owner);
        EXPECT_EQ(server.finish(), "");
        EXPECT_EQ(server.connections(), 0);
    }
}

TEST_F(MailCheck, PlainPortInTheServerField)
{
    // 127.0.0.2:110 is the plain exchange byte for byte, as without a port.
    ScriptServer server(SERVER, mailbox("+OK 3 300\r\n"));
    strcpy(user_settings.pop_server, "127.0.0.2:110");
    record_sends();
    EXPECT_EQ(check_mailbox(owner), 1);
    server.wait_client_closed(3000);
    EXPECT_EQ(server.finish(), "USER taro\r\nPASS secret\r\nSTAT\r\n");
    EXPECT_EQ(sends, (std::vector<std::string>{"USER taro\r\n", "PASS secret\r\n", "STAT\r\n"}));
}
