// The POP3 status check against a scripted server on loopback: what the user
// sees, what the server receives, and that the socket is closed first.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <ws2tcpip.h>
#include <mstcpip.h>

#include "mailcheck/connection/network_presence.h"
#include "mailcheck/exchange.h"
#include "mailcheck/imap_check.h"
#include "mailcheck/server_address.h"
#include "mailcheck/mail_check.h"
#include "mailcheck/push_watch.h"
#include "resources/resource.h"
#include "settings/user_settings.h"
#include "tests/support/check_watchdog.h"
#include "tests/support/import_redirect.h"
#include "tests/support/message_box_hook.h"
#include "tests/support/pop3_script_server.h"
#include "tests/support/recording_doubles.h"
#include "tests/support/settings_record.h"
#include "tests/support/test_files.h"

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <security.h>
#include <schannel.h>

// Every send the check makes passes through here (its import slot is
// redirected), so a test can count the calls and their bytes.
extern "C" int(WSAAPI* send_slot)(SOCKET, const char*, int, int) IMPORT_SLOT(send, 16);
extern "C" void(WINAPI* debug_slot)(LPCSTR) IMPORT_SLOT(OutputDebugStringA, 4);
// The attempts as the check makes them: each connect with its time, and the
// sockets made and closed; and a resolver that answers what a row needs.
extern "C" int(WSAAPI* connect_slot)(SOCKET, const sockaddr*, int) IMPORT_SLOT(connect, 12);
extern "C" SOCKET(WSAAPI* socket_slot)(int, int, int) IMPORT_SLOT(socket, 12);
extern "C" int(WSAAPI* closesocket_slot)(SOCKET) IMPORT_SLOT(closesocket, 4);
extern "C" int(WSAAPI* getaddrinfo_slot)(PCSTR, PCSTR, const ADDRINFOA*, PADDRINFOA*) IMPORT_SLOT(getaddrinfo, 16);
extern "C" void(WSAAPI* freeaddrinfo_slot)(PADDRINFOA) IMPORT_SLOT(freeaddrinfo, 4);

namespace {

std::vector<std::string> sends;
DWORD checking_thread;   // the scripted server sends from a thread of its own
int(WSAAPI* real_send)(SOCKET, const char*, int, int);
size_t failing_send = SIZE_MAX;   // the send (counted from 0) that fails, as on a reset connection

int WSAAPI recording_send(SOCKET s, const char* data, int length, int flags)
{
    if (GetCurrentThreadId() != checking_thread)
        return real_send(s, data, length, flags);
    if (sends.size() == failing_send) {
        failing_send = SIZE_MAX;
        WSASetLastError(WSAECONNRESET);
        return SOCKET_ERROR;
    }
    sends.push_back(std::string(data, length > 0 ? static_cast<size_t>(length) : 0));
    return real_send(s, data, length, flags);
}

std::vector<std::string> debug_lines;
std::mutex debug_mutex;   // the push connection writes from a thread of its own
void WINAPI recording_debug(LPCSTR line)
{
    std::lock_guard<std::mutex> lock(debug_mutex);
    debug_lines.push_back(line);
}

// Waits (at most 5 s) for a support line that begins so.
bool wrote_line(const char* start)
{
    for (int i = 0; i < 250; Sleep(20), ++i) {
        std::lock_guard<std::mutex> lock(debug_mutex);
        for (const std::string& line : debug_lines)
            if (line.rfind(start, 0) == 0)
                return true;
    }
    return false;
}

// The one support line of a failed check names its step and, once
// connected, the server's address.
void expect_support_line(const char* step, const char* server)
{
    ASSERT_EQ(debug_lines.size(), 1u) << testing::PrintToString(debug_lines);
    const std::string& line = debug_lines[0];
    EXPECT_EQ(line.rfind(std::string("Quillbeam: check failed at ") + step + ", code 0x", 0), 0u) << line;
    const std::string end = server != nullptr ? std::string(", server ") + server + "\n" : "\n";
    EXPECT_EQ(line.substr(line.size() - std::min(line.size(), end.size())), end) << line;
}

void record_sends()
{
    sends.clear();
    debug_lines.clear();
    checking_thread = GetCurrentThreadId();
    if (real_send != nullptr)
        return;
    real_send = redirect_import(&send_slot, recording_send);
    redirect_import(&debug_slot, recording_debug);
}

struct Attempt { DWORD at; int family; std::string address; };
std::vector<Attempt> attempts;
int open_sockets;   // made minus closed by the checking thread
int(WSAAPI* real_connect)(SOCKET, const sockaddr*, int);
SOCKET(WSAAPI* real_socket)(int, int, int);
int(WSAAPI* real_closesocket)(SOCKET);
int(WSAAPI* real_getaddrinfo)(PCSTR, PCSTR, const ADDRINFOA*, PADDRINFOA*);
void(WSAAPI* real_freeaddrinfo)(PADDRINFOA);
std::vector<const char*> resolved_as;   // what the next lookup answers, in this order; empty: as it is

int WSAAPI recording_connect(SOCKET s, const sockaddr* address, int length)
{
    if (GetCurrentThreadId() == checking_thread) {
        char text[64];
        DWORD size = sizeof text;
        WSAAddressToStringA(const_cast<sockaddr*>(address), static_cast<DWORD>(length), nullptr, text, &size);
        attempts.push_back({GetTickCount(), address->sa_family, text});
    }
    return real_connect(s, address, length);
}

SOCKET WSAAPI counting_socket(int family, int type, int protocol)
{
    SOCKET s = real_socket(family, type, protocol);
    if (s != INVALID_SOCKET && GetCurrentThreadId() == checking_thread)
        ++open_sockets;
    return s;
}

int WSAAPI counting_closesocket(SOCKET s)
{
    int result = real_closesocket(s);
    if (result == 0 && GetCurrentThreadId() == checking_thread)
        --open_sockets;
    return result;
}

// The addresses a row names, each looked up alone and copied into a list
// of the test's own, in the row's order.
ADDRINFOA scripted_list[8];
sockaddr_storage scripted_addresses[8];

DWORD resolver_delay_ms;   // a DNS server that answers this late

int WSAAPI scripted_getaddrinfo(PCSTR node, PCSTR service, const ADDRINFOA* hints, PADDRINFOA* out)
{
    Sleep(resolver_delay_ms);
    if (resolved_as.empty())
        return real_getaddrinfo(node, service, hints, out);
    for (size_t i = 0; i < resolved_as.size(); ++i) {
        PADDRINFOA one = nullptr;
        if (real_getaddrinfo(resolved_as[i], service, hints, &one) != 0)
            return EAI_FAIL;
        scripted_list[i] = *one;
        memcpy(&scripted_addresses[i], one->ai_addr, one->ai_addrlen);
        scripted_list[i].ai_addr = reinterpret_cast<sockaddr*>(&scripted_addresses[i]);
        scripted_list[i].ai_canonname = nullptr;
        scripted_list[i].ai_next = i + 1 < resolved_as.size() ? &scripted_list[i + 1] : nullptr;
        real_freeaddrinfo(one);
    }
    *out = scripted_list;
    return 0;
}

void WSAAPI scripted_freeaddrinfo(PADDRINFOA list)
{
    if (list != scripted_list)
        real_freeaddrinfo(list);
}

void record_attempts()
{
    attempts.clear();
    open_sockets = 0;
    if (real_connect != nullptr)
        return;
    real_connect = redirect_import(&connect_slot, recording_connect);
    real_socket = redirect_import(&socket_slot, counting_socket);
    real_closesocket = redirect_import(&closesocket_slot, counting_closesocket);
    real_getaddrinfo = redirect_import(&getaddrinfo_slot, scripted_getaddrinfo);
    real_freeaddrinfo = redirect_import(&freeaddrinfo_slot, scripted_freeaddrinfo);
}

// A listener whose queue is full: the system drops further SYNs, as a
// host that is down or filtered does.
class SynDropper {
public:
    explicit SynDropper(const char* address, unsigned short port = 110)
    {
        sockaddr_storage where;
        const int length = test_address(address, port, &where);
        listener_ = socket(where.ss_family, SOCK_STREAM, 0);
        bind(listener_, reinterpret_cast<sockaddr*>(&where), length);
        listen(listener_, 1);
        for (int i = 0; i < 8; ++i) {   // fill the queue until a connect stalls
            SOCKET probe = socket(where.ss_family, SOCK_STREAM, 0);
            u_long non_blocking = 1;
            ioctlsocket(probe, FIONBIO, &non_blocking);
            connect(probe, reinterpret_cast<sockaddr*>(&where), length);
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(probe, &writable);
            timeval wait = {0, 300000};
            if (select(0, nullptr, &writable, nullptr, &wait) <= 0) {
                closesocket(probe);
                full_ = true;
                break;
            }
            queued_.push_back(probe);
        }
    }
    ~SynDropper()
    {
        for (SOCKET s : queued_)
            closesocket(s);
        closesocket(listener_);
    }
    bool full() const { return full_; }

private:
    SOCKET listener_;
    std::vector<SOCKET> queued_;
    bool full_ = false;
};

const char* const SERVER = "127.0.0.2";

class MailCheck : public testing::Test {
protected:
    void SetUp() override
    {
        owner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
        user_settings = settings_record({SERVER, "taro", "secret"});
        recorded_calls.clear();
    }
    void TearDown() override { DestroyWindow(owner); }

    HWND owner = nullptr;
};



} // namespace

TEST_F(MailCheck, FailureTable)
{
    // Far longer than RFC 1939 allows, yet ended within the 64 KiB a line may take.
    const std::string long_error = "-ERR " + std::string(60000, 'x') + "\r\n";
    const std::string long_error_shown = long_error.substr(0, 255);
    const std::string split_error = "-ERR " + std::string(249, 'x');   // then あ across the buffer's end
    struct Row {
        const char* name;
        std::vector<ScriptStep> steps;
        const char* message;       // what the error box says
        const char* client_sent;   // what the server received
        bool server_sees_close;    // the server could still watch the client close
        const char* step = "the server's reply";   // what the support line names
    } rows[] = {
        {"closed before greeting", {reply("", StepEnd::close)}, RECEIVE_FAILED, "", true, "receive"},
        {"greeting -ERR", {reply("-ERR too busy, try later\r\n")}, "-ERR too busy, try later", "", true},
        {"closed after greeting", {reply("+OK ready\r\n", StepEnd::close)}, RECEIVE_FAILED,
         "USER taro\r\n", true, "receive"},
        {"USER -ERR", {reply("+OK ready\r\n"), reply("-ERR no such user\r\n")}, "-ERR no such user",
         "USER taro\r\n", true},
        {"PASS -ERR [AUTH]", {reply("+OK\r\n"), reply("+OK\r\n"), reply("-ERR [AUTH] Authentication failed.\r\n")},
         "-ERR [AUTH] Authentication failed.", "USER taro\r\nPASS secret\r\n", true},
        {"PASS -ERR [IN-USE]", {reply("+OK\r\n"), reply("+OK\r\n"), reply("-ERR [IN-USE] locked\n")},
         "-ERR [IN-USE] locked", "USER taro\r\nPASS secret\r\n", true},
        {"STAT -ERR", {reply("+OK\r\n"), reply("+OK\r\n"), reply("+OK\r\n"), reply("-ERR mailbox gone\r\n")},
         "-ERR mailbox gone", "USER taro\r\nPASS secret\r\nSTAT\r\n", true},
        {"closed at STAT", {reply("+OK\r\n"), reply("+OK\r\n"), reply("+OK\r\n"), reply("", StepEnd::close)},
         STAT_RECEIVE_FAILED, "USER taro\r\nPASS secret\r\nSTAT\r\n", true, "receive"},
        {"STAT reply cut short", {reply("+OK\r\n"), reply("+OK\r\n"), reply("+OK\r\n"), reply("+OK 3", StepEnd::close)},
         STAT_RECEIVE_FAILED, "USER taro\r\nPASS secret\r\nSTAT\r\n", true, "receive"},
        {"reset during PASS", {reply("+OK\r\n"), reply("+OK\r\n"), reply("", StepEnd::reset)},
         RECEIVE_FAILED, "USER taro\r\nPASS secret\r\n", false, "receive"},
        {"server text is no format", {reply("+OK\r\n"), reply("-ERR %s%n%x %d\r\n")}, "-ERR %s%n%x %d",
         "USER taro\r\n", true},
        {"over-long error, cut to the reply buffer", {reply("+OK\r\n"), reply(long_error)},
         long_error_shown.c_str(), "USER taro\r\n", true},
        // Judged by its first byte, the -ERR would pass for success.
        {"-ERR arriving a byte at a time",
         in_pieces({reply("+OK hello\r\n"), reply("+OK\r\n"), reply("-ERR [AUTH] Authentication failed.\r\n")}, 1, 1),
         "-ERR [AUTH] Authentication failed.", "USER taro\r\nPASS secret\r\n", true},
        // The second is the answer to USER, not part of the greeting.
        {"two replies in one packet", {reply("+OK hi\r\n-ERR no\r\n")}, "-ERR no", "USER taro\r\n", true},
        // Only "+" is success: an IMAP server on a POP3 port must not get the password.
        {"IMAP greeting on a POP3 port", {reply("* OK [CAPABILITY IMAP4rev1] ready\r\n")},
         "* OK [CAPABILITY IMAP4rev1] ready", "", true},
        {"STAT answered BAD", {reply("+OK\r\n"), reply("+OK\r\n"), reply("+OK\r\n"), reply("STAT BAD unknown\r\n")},
         "STAT BAD unknown", "USER taro\r\nPASS secret\r\nSTAT\r\n", true},
        // The reply buffer ends inside a double-byte character: the box drops its lead byte.
        {"cut before a split double-byte character", {reply(split_error + "\x82\xa0\r\n")},
         split_error.c_str(), "", true},
        // Cut at the reply's deadline, not by the drip.
        {"a byte every 300 ms, never a line end", {reply("+OK\r\n"), endless("x", 1, 300)},
         RECEIVE_FAILED, "USER taro\r\n", true, "receive"},
    };
    ShortTimes times(1500);
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorded_calls.clear();
        ScriptServer server(SERVER, row.steps);
        ASSERT_TRUE(server.listening());
        MessageBoxHook hook;
        bool closed_before_box = false;
        hook.on_box = [&](const SeenBox&) { closed_before_box = server.wait_client_closed(3000); };
        record_sends();
        {
            CheckWatchdog watchdog(5000);
            EXPECT_EQ(check_mailbox(owner), 0);
            EXPECT_FALSE(watchdog.fired()) << "the check outlived its bound";
        }
        std::string sent = server.finish();

        expect_one_error_box(hook, row.message, owner);
        if (row.server_sees_close) {
            EXPECT_TRUE(closed_before_box) << "the socket was still open while the box showed";
        }
        EXPECT_EQ(sent, row.client_sent);
        EXPECT_FALSE(connection_is_open(&check_connection));
        EXPECT_TRUE(recorded_calls.empty());
        expect_support_line(row.step, "127.0.0.2:110");
    }
}

// A refusal is the server's answer, shown whatever the network; an address
// that never answers is shown only while this computer has a usable network.
TEST_F(MailCheck, ConnectionRefusedOrUnansweredIsAConnectErrorWithItsCodeForSupport)
{
    ShortTimes times(2000);
    SynDropper dropper("127.0.0.37");
    ASSERT_TRUE(dropper.full());
    struct Row { const char* server; bool network; bool box; const char* debug_line; } rows[] = {
        {"127.0.0.3", true, true, "Quillbeam: check failed at connect, code 0x0000274D\n"},   // refused
        {"127.0.0.3", false, true, "Quillbeam: check failed at connect, code 0x0000274D\n"},
        {"127.0.0.37", true, true, "Quillbeam: check failed at connect, code 0x0000274C\n"},  // SYN dropped
        {"127.0.0.37", false, false,
         "Quillbeam: check failed at connect, code 0x0000274C, no usable network\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.server) + (row.network ? ", network" : ", no network"));
        strcpy(user_settings.pop_server, row.server);
        network_present = row.network;
        MessageBoxHook hook;
        record_sends();
        DWORD start = GetTickCount();
        CheckOutcome outcome;
        EXPECT_EQ(check_mailbox(owner, {}, &outcome), row.box ? 0 : 1);
        network_present = true;
        EXPECT_LT(GetTickCount() - start, 4000u);
        if (row.box)
            expect_one_error_box(hook, "Mail connect error", owner);
        else
            EXPECT_TRUE(hook.boxes.empty());
        EXPECT_TRUE(row.box || outcome.no_network);
        EXPECT_EQ(debug_lines, std::vector<std::string>{row.debug_line});
        EXPECT_FALSE(connection_is_open(&check_connection));
    }
}

TEST_F(MailCheck, WholeCheckEndsByItsBudgetThoughEveryReplyComesInTime)
{
    // Every reply comes 0.9 s after its command, well within its own 2 s.
    ShortTimes times(2000, 2500);
    ScriptServer server(SERVER, in_pieces(mailbox("+OK 3 300\r\n"), 0, 900));
    MessageBoxHook hook;
    DWORD start = GetTickCount();
    EXPECT_EQ(check_mailbox(owner), 0);
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 2400u);
    EXPECT_LT(waited, 3500u);
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_TRUE(recorded_calls.empty());
}

TEST_F(MailCheck, SuccessSendsItsCommandsAndShowsTheNotice)
{
    // In order: each row is compared with the mailbox the rows before it
    // found. New is what came after the newest id seen that is still
    // listed (UIDL); none listed: all of it; without UIDL a count that
    // rose. The first finding is new.
    auto text = [&](int count) { return "合計" + std::to_string(count) + "通のメールが着ています"; };
    auto shown = [&](int count) { return std::vector<std::string>{"remove_mail", "add_mail:" + text(count)}; };
    auto chimed = [&](int count) { return std::vector<std::string>{"sound", "remove_mail", "add_mail:" + text(count)}; };
    struct Row {
        const char* name;
        const char* stat_reply;
        std::vector<const char*> uidl;   // the answers to the UIDL commands, in order
        std::string asked;               // the UIDL commands
        int sound_on;
        std::vector<std::string> calls;
        bool balloon;
        bool after_news = false;         // started by the push connection's news
        size_t piece = 0;
    } rows[] = {
        {"three, the first finding", "+OK 3 420\r\n", {"+OK 3 c\r\n"}, "UIDL 3\r\n", 1, chimed(3), true},
        {"the same mailbox again, sound off", "+OK 3 420\r\n", {"+OK 3 c\r\n"}, "UIDL 3\r\n", 0, shown(3), false},
        {"new at the end, one byte at a time", "+OK 5 999\r\n", {"+OK 5 e\r\n", "+OK 3 c\r\n"}, "UIDL 5\r\nUIDL 3\r\n", 1,
         chimed(5), true, false, 1},
        // Five, three deleted by a mailer that leaves mail on the server, one arrived: three.
        {"five, three deleted, one new", "+OK 3 99\r\n", {"+OK 3 f\r\n", "+OK\r\n1 d\r\n2 e\r\n3 f\r\n.\r\n"},
         "UIDL 3\r\nUIDL\r\n", 1, chimed(3), true},
        {"deleted, none new", "+OK 2 99\r\n", {"+OK 2 f\r\n"}, "UIDL 2\r\n", 1, chimed(2), false},
        {"one deleted, one new: the count stayed", "+OK 2 99\r\n", {"+OK 2 g\r\n", "+OK\r\n1 f\r\n2 g\r\n.\r\n"},
         "UIDL 2\r\nUIDL\r\n", 0, shown(2), true},
        // A mailer that downloads and deletes took both; one came.
        {"every one seen deleted, one new", "+OK 1 9\r\n", {"+OK 1 h\r\n", "+OK\r\n1 h\r\n.\r\n"},
         "UIDL 1\r\nUIDL\r\n", 0, shown(1), true},
        {"UIDL n answered for another message: the count rule", "+OK 5 9\r\n", {"+OK 4 id4\r\n"}, "UIDL 5\r\n",
         0, shown(5), true},
        {"after that answer, nothing of it was kept", "+OK 5 9\r\n", {"+OK 5 id5\r\n"}, "UIDL 5\r\n", 0, shown(5),
         false},
        {"no UIDL: the count rule", "+OK 2147483647 1\n", {"-ERR no UIDL here\r\n"}, "UIDL 2147483647\r\n", 0,
         shown(2147483647), true},
        {"fewer, no UIDL", "+OK 11 999\r\n", {"-ERR no UIDL here\r\n"}, "UIDL 11\r\n", 0, shown(11), false},
        {"empty mailbox", "+OK 0 0\r\n", {}, "", 1, {}, false},
        {"no count", "+OK\r\n", {}, "", 1, {}, false},
        {"count wraps negative", "+OK 4294967295 1\r\n", {}, "", 1, {}, false},
        {"mail again after none", "+OK 1 10\r\n", {"+OK 1 h\r\n"}, "UIDL 1\r\n", 0, shown(1), true},
        // News comes for mail read or flagged elsewhere too: it chimes for new mail only.
        {"after news, nothing new: no chime", "+OK 1 10\r\n", {"+OK 1 h\r\n"}, "UIDL 1\r\n", 1, shown(1), false, true},
        {"after news, new mail: the chime", "+OK 2 20\r\n", {"+OK 2 i\r\n", "+OK 1 h\r\n"}, "UIDL 2\r\nUIDL 1\r\n", 1,
         chimed(2), true, true},
        {"the newest deleted: the one before it seen, nothing new", "+OK 1 10\r\n", {"+OK 1 h\r\n"}, "UIDL 1\r\n",
         0, shown(1), false},
    };
    last_mailbox = {};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorded_calls.clear();
        recorded_balloons.clear();
        user_settings.sound_on = row.sound_on;
        CheckRequest request = {};
        request.after_news = row.after_news;
        std::vector<ScriptStep> steps = {reply("+OK POP3 ready\r\n"), reply("+OK\r\n"), reply("+OK Logged in.\r\n"),
                                         reply(std::string(row.stat_reply))};
        for (const char* answer : row.uidl)
            steps.push_back(reply(std::string(answer)));
        ScriptServer server(SERVER, in_pieces(steps, row.piece, row.piece ? 2 : 0));
        MessageBoxHook hook;
        record_sends();
        EXPECT_EQ(check_mailbox(owner, request), 1);
        EXPECT_TRUE(server.wait_client_closed(3000));
        EXPECT_EQ(server.finish(), "USER taro\r\nPASS secret\r\nSTAT\r\n" + row.asked);   // and no QUIT
        // The floor: each command in one send, nothing else.
        std::vector<std::string> expected_sends = {"USER taro\r\n", "PASS secret\r\n", "STAT\r\n"};
        for (size_t at = 0, end; (end = row.asked.find('\n', at)) != std::string::npos; at = end + 1)
            expected_sends.push_back(row.asked.substr(at, end + 1 - at));
        EXPECT_EQ(sends, expected_sends);
        EXPECT_TRUE(hook.boxes.empty());
        EXPECT_EQ(recorded_calls, row.calls);
        // POP3 says nothing of who wrote: it never downloads a message.
        EXPECT_EQ(recorded_balloons, !row.balloon ? std::vector<std::string>{}
                  : std::vector<std::string>{recorded_calls.back().substr(9) + "|クリックするとメールソフトを起動します"});
        EXPECT_FALSE(connection_is_open(&check_connection));
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

TEST_F(MailCheck, SendFailureIsReported)
{
    ScriptServer server(SERVER, mailbox("+OK 1 1\r\n"));
    MessageBoxHook hook;
    record_sends();
    failing_send = 1;   // PASS
    EXPECT_EQ(check_mailbox(owner), 0);
    expect_one_error_box(hook, SEND_FAILED, owner);
    expect_support_line("send", "127.0.0.2:110");
    EXPECT_EQ(server.finish(), "USER taro\r\n");
}

TEST_F(MailCheck, SilentServerTimesOut)
{
    ShortTimes times(2000);
    ScriptServer server(SERVER, {reply("", StepEnd::hang)});
    MessageBoxHook hook;
    bool closed_before_box = false;
    hook.on_box = [&](const SeenBox&) { closed_before_box = server.wait_client_closed(3000); };
    DWORD start = GetTickCount();
    EXPECT_EQ(check_mailbox(owner), 0);
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, mail_reply_time_ms - 1000);
    EXPECT_LT(waited, mail_reply_time_ms + 2000);
    expect_one_error_box(hook, RECEIVE_FAILED, owner);
    EXPECT_TRUE(closed_before_box);
}

// The IMAP exchange itself over a plain connection to a scripted server (in
// the program it runs only over TLS, once the certificate is judged).
TEST_F(MailCheck, ImapExchange)
{
    const ScriptStep GREETING = reply("* OK [CAPABILITY IMAP4rev1 LITERAL+] ready\r\n");
    const ScriptStep LOGGED_IN = reply("* CAPABILITY IMAP4rev1 IDLE\r\na1 OK [CAPABILITY IMAP4rev1] Logged in\r\n");
    const std::string login = "a1 LOGIN \"taro\" \"secret\"\r\n", status = "a2 STATUS INBOX (UNSEEN UIDNEXT UIDVALIDITY)\r\n";
    ServerAddress address;
    ASSERT_EQ(parse_server_address(SERVER, &address), 1);
    auto sasl = [&](SaslMechanism mechanism) {
        char response[256];
        sasl_response(mechanism, "taro", address.name, address.port, "tok", response, sizeof response);
        return std::string(response);
    };
    struct Row {
        const char* name;
        std::vector<ScriptStep> steps;
        std::string sent;            // what the server received
        const char* box = nullptr;   // or the count
        int32_t count = -1;
        const char* password = "secret";
        bool idle = false;           // the server offers IDLE once logged in
        const char* token = nullptr;  // a sign-in's access token instead of the password
    } rows[] = {
        {"untagged lines skipped, unseen among other items", {GREETING, LOGGED_IN,
          reply("* OK [ALERT] maintenance tonight\r\n* 12 EXISTS\r\n* STATUS \"INBOX\" (MESSAGES 12 UNSEEN 4)\r\na2 OK\r\n"),
          reply("* BYE\r\na3 OK\r\n")}, login + status + "a3 LOGOUT\r\n", nullptr, 4, "secret", true},
        {"PREAUTH: no login", {reply("* PREAUTH [CAPABILITY IMAP4rev1] ready\r\n"),
          reply("* STATUS INBOX (UNSEEN 0)\r\na2 OK\r\n")}, status + "a3 LOGOUT\r\n", nullptr, 0},
        {"no capabilities after the login: asked for", {GREETING, reply("a1 OK Logged in\r\n"),
          reply("* CAPABILITY IMAP4rev1 IDLE\r\na0 OK\r\n"), reply("* STATUS INBOX (UNSEEN 1)\r\na2 OK\r\n")},
         login + "a0 CAPABILITY\r\n" + status + "a3 LOGOUT\r\n", nullptr, 1, "secret", true},
        {"IDLE past what a reply line keeps", {GREETING, reply("a1 OK [CAPABILITY IMAP4rev1 X-" + std::string(300, 'X') + " IDLE] in\r\n"),
          reply("* STATUS INBOX (UNSEEN 1)\r\na2 OK\r\n")}, login + status + "a3 LOGOUT\r\n", nullptr, 1, "secret", true},
        {"8-bit password as a literal", {GREETING, reply("+ go on\r\n"), LOGGED_IN,
          reply("* STATUS INBOX (UNSEEN 2)\r\na2 OK\r\n")},
         "a1 LOGIN \"taro\" {4}\r\np\xe4ss\r\n" + status + "a3 LOGOUT\r\n", nullptr, 2, "p\xe4ss", true},
        {"BYE greeting", {reply("* BYE Too many connections\r\n")}, "", "BYE Too many connections"},
        {"LOGINDISABLED", {reply("* OK [CAPABILITY IMAP4rev1 LOGINDISABLED] ready\r\n")}, "",
         "サーバーがパスワードでのログインを受け付けていません（LOGINDISABLED）"},
        {"LOGIN NO: the server's words", {GREETING, reply("a1 NO [AUTHENTICATIONFAILED] Use an app password.\r\n")},
         login, "NO [AUTHENTICATIONFAILED] Use an app password."},
        {"STATUS BAD", {GREETING, LOGGED_IN, reply("a2 BAD Error in IMAP command\r\n")}, login + status,
         "BAD Error in IMAP command"},
        {"no STATUS line", {GREETING, LOGGED_IN, reply("a2 OK\r\n")}, login + status, RECEIVE_FAILED},
        {"literal refused: the password never follows", {GREETING, reply("a1 NO [TOOBIG] literal too big\r\n")},
         "a1 LOGIN \"taro\" {4}\r\n", "NO [TOOBIG] literal too big", -1, "p\xe4ss"},
        {"untagged lines that never end", {GREETING, LOGGED_IN, endless("* 1 EXISTS\r\n", 0, 20)}, login + status,
         RECEIVE_FAILED},
        // Signed in: the response after the go-ahead without SASL-IR, OAUTHBEARER where it is
        // alone, a refused token's challenge answered with an empty line and the NO shown.
        {"token without SASL-IR", {reply("* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2] ready\r\n"), reply("+ \r\n"),
          reply("a1 OK [CAPABILITY IMAP4rev1 IDLE] in\r\n"), reply("* STATUS INBOX (UNSEEN 1)\r\na2 OK\r\n")},
         "a1 AUTHENTICATE XOAUTH2\r\n" + sasl(SaslMechanism::xoauth2) + "\r\n" + status + "a3 LOGOUT\r\n",
         nullptr, 1, "", true, "tok"},
        {"token, OAUTHBEARER alone", {reply("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=OAUTHBEARER] ready\r\n"),
          reply("a1 OK in\r\n"), reply("* CAPABILITY IMAP4rev1\r\na0 OK\r\n"),
          reply("* STATUS INBOX (UNSEEN 1)\r\na2 OK\r\n")},
         "a1 AUTHENTICATE OAUTHBEARER " + sasl(SaslMechanism::oauthbearer) + "\r\na0 CAPABILITY\r\n" + status
             + "a3 LOGOUT\r\n", nullptr, 1, "", false, "tok"},
        {"token refused", {reply("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2] ready\r\n"),
          reply("+ eyJzdGF0dXMiOiI0MDEifQ==\r\n"), reply("a1 NO [AUTHENTICATIONFAILED] Invalid credentials\r\n")},
         "a1 AUTHENTICATE XOAUTH2 " + sasl(SaslMechanism::xoauth2) + "\r\n\r\n",
         "NO [AUTHENTICATIONFAILED] Invalid credentials", -1, "", false, "tok"},
    };
    ShortTimes times(1500);
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        strcpy(user_settings.password, row.password);
        ScriptServer server(SERVER, row.steps);
        ASSERT_EQ(connection_open(&check_connection, address.host, address.port), Reach::connected);
        MessageBoxHook hook;
        // As seen already: nothing is new, so nothing more is asked.
        MailboxMemory last = {true, INT32_MAX, 0, 0, 0, {}, {}, {}};
        strcpy(last.server, user_settings.pop_server);
        strcpy(last.account, user_settings.account);
        Finding found = {};
        found.count = -1;
        bool idle = false;
        {
            CheckWatchdog watchdog(4000);
            EXPECT_EQ(imap_login(&check_connection, owner,
                                 {user_settings.account, user_settings.password, row.token, address.name, address.port, 0},
                                 &idle)
                          && imap_find(&check_connection, owner, last, &found),
                      row.box == nullptr);
            if (row.box == nullptr)
                imap_logout(&check_connection);
        }
        connection_close(&check_connection);
        server.wait_client_closed(3000);
        EXPECT_EQ(server.finish(), row.sent);
        if (row.box != nullptr) {
            expect_one_error_box(hook, row.box, owner);
        } else {
            EXPECT_TRUE(hook.boxes.empty());
            EXPECT_EQ(found.count, row.count);
            EXPECT_EQ(idle, row.idle);
        }
    }
}

// The push connection against a scripted server: what it sends, its
// renewal and the DONE bound through the program's own clock, and that
// however it ends it shows nothing and posts only news, once until taken
// (it idles on after news, until closed).
TEST_F(MailCheck, PushConnection)
{
    const std::string opened = "a1 LOGIN \"taro\" \"secret\"\r\np1 EXAMINE INBOX\r\np2 IDLE\r\n";
    const DWORD renew = 1500, done = 800;
    enum class While { waiting, exit, network_change };   // what happens once it idles
    struct Row {
        const char* name;
        ScriptStep idling;   // the answer to the first IDLE
        std::vector<ScriptStep> then;
        std::string sent;    // after the first IDLE
        bool news;
        const char* line;    // how its last support line begins
        DWORD at_least;      // from its start to its end
        While idling_then = While::waiting;
        uint32_t seen = 5;   // the next UID the check saw; EXAMINE says 5
    } rows[] = {
        {"renewed, then the inbox changed", reply("+ idling\r\n"),
         {reply("p2 OK done\r\n"), reply("+ idling\r\n* 4 EXISTS\r\n* 1 RECENT\r\n")},
         "DONE\r\np2 IDLE\r\nDONE\r\np3 LOGOUT\r\n", true, "Quillbeam: push: closed", renew},
        {"DONE never answered", reply("+ idling\r\n"), {reply("", StepEnd::hang)}, "DONE\r\n", false,
         "Quillbeam: push: failed at receive", renew + done},
        {"the server closes while idling", reply("+ idling\r\n", StepEnd::close), {}, "", false,
         "Quillbeam: push: failed at receive", 0},
        {"Exit while the server says nothing", reply("+ idling\r\n", StepEnd::hang), {}, "DONE\r\np3 LOGOUT\r\n",
         false, "Quillbeam: push: closed", 0, While::exit},
        {"a network change renews at once, and no answer ends it", reply("+ idling\r\n"), {reply("", StepEnd::hang)},
         "DONE\r\n", false, "Quillbeam: push: failed at receive", done, While::network_change},
        {"mail came between the check and EXAMINE", reply("+ idling\r\n", StepEnd::hang), {},
         "DONE\r\np3 LOGOUT\r\n", true, "Quillbeam: push: closed", 0, While::waiting, 4},
        {"mail came between EXAMINE and IDLE", reply("* 6 EXISTS\r\n+ idling\r\n", StepEnd::hang), {},
         "DONE\r\np3 LOGOUT\r\n", true, "Quillbeam: push: closed", 0},
        {"a response with a literal is read whole", reply("+ idling\r\n* 3 FETCH (FLAGS (\\Seen) "
                                                          "BODY[HEADER.FIELDS (FROM)] {9}\r\nFrom: a\r\n)\r\n",
                                                          StepEnd::hang),
         {}, "DONE\r\np3 LOGOUT\r\n", true, "Quillbeam: push: closed", 0},
    };
    ShortTimes times(1500);
    const DWORD renew_before = push_renew_ms, done_before = push_done_ms;
    push_renew_ms = renew;
    push_done_ms = done;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<ScriptStep> steps = {reply("* OK ready\r\n"), reply("a1 OK [CAPABILITY IMAP4rev1 IDLE] in\r\n"),
                                         reply("* 5 EXISTS\r\n* OK [UIDNEXT 5] next\r\np1 OK [READ-ONLY] done\r\n"),
                                         row.idling};
        steps.insert(steps.end(), row.then.begin(), row.then.end());
        ScriptServer server(SERVER, steps);
        record_sends();
        MessageBoxHook hook;
        push_start(owner, WM_PUSH_NEWS, row.seen);
        // Timed from its IDLE on: the login before it may take a second on a loaded machine.
        ASSERT_TRUE(wrote_line("Quillbeam: push: idling"));
        const DWORD idling_at = GetTickCount();
        if (row.idling_then != While::waiting) {
            if (row.idling_then == While::exit)
                EXPECT_TRUE(push_stop(2000));
            else
                push_network_changed();
        }
        MSG news;
        bool heard = false;
        for (int i = 0; i < 250 && row.news && !heard; ++i, Sleep(20))
            heard = PeekMessageA(&news, owner, WM_PUSH_NEWS, WM_PUSH_NEWS, PM_REMOVE) != 0;
        EXPECT_EQ(push_take_news(heard ? news.wParam : 0), row.news);
        if (heard)
            push_stop(2000);
        EXPECT_TRUE(server.wait_client_closed(5000));
        const DWORD took = GetTickCount() - idling_at;
        push_stop(2000);
        EXPECT_EQ(server.finish(), opened + row.sent);
        EXPECT_GE(took + 100, row.at_least);   // the idling line is seen up to a poll late
        EXPECT_LT(took, row.at_least + 1200);
        EXPECT_EQ(heard, row.news);
        EXPECT_FALSE(PeekMessageA(&news, owner, WM_PUSH_NEWS, WM_PUSH_NEWS, PM_REMOVE));
        EXPECT_TRUE(hook.boxes.empty());
        EXPECT_EQ(debug_lines.back().rfind(row.line, 0), 0u) << debug_lines.back();
    }
    push_renew_ms = renew_before;
    push_done_ms = done_before;
}

extern "C" int(WSAAPI* ioctl_slot)(SOCKET, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPWSAOVERLAPPED,
                                   LPWSAOVERLAPPED_COMPLETION_ROUTINE) IMPORT_SLOT(WSAIoctl, 36);
namespace {
decltype(ioctl_slot) real_ioctl;
std::vector<std::vector<ULONG>> keep_alives;   // the values each SIO_KEEPALIVE_VALS set

int WSAAPI recording_ioctl(SOCKET s, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                           LPDWORD returned, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE done)
{
    if (code == SIO_KEEPALIVE_VALS && in_size == sizeof(tcp_keepalive)) {
        const tcp_keepalive* values = static_cast<const tcp_keepalive*>(in);
        keep_alives.push_back({values->onoff, values->keepalivetime, values->keepaliveinterval});
    }
    return real_ioctl(s, code, in, in_size, out, out_size, returned, overlapped, done);
}

// A push connection's server up to its answer to IDLE, and how that ends.
std::vector<ScriptStep> idling(const std::string& answer, StepEnd end)
{
    return {reply("* OK ready\r\n"), reply("a1 OK [CAPABILITY IMAP4rev1 IDLE] in\r\n"), reply("p1 OK done\r\n"),
            reply(answer, end)};
}
} // namespace

// A push connection its server closed is opened again by the next start
// (the next check that succeeds), on its own; each one probes a silent
// path after four minutes, every 10 s (a dead one is noticed long before
// the renewal).
TEST_F(MailCheck, PushConnectionOpensAgainAfterItsServerClosedIt)
{
    ShortTimes times(1500);
    record_sends();
    if (real_ioctl == nullptr)
        real_ioctl = redirect_import(&ioctl_slot, recording_ioctl);
    keep_alives.clear();
    {
        ScriptServer closing(SERVER, idling("+ idling\r\n", StepEnd::close));
        push_start(owner, WM_PUSH_NEWS, 0);
        ASSERT_TRUE(wrote_line("Quillbeam: push: failed at receive"));
        closing.wait_client_closed(3000);
    }
    Sleep(200);   // its thread's last steps
    ScriptServer again(SERVER, idling("+ idling\r\n", StepEnd::hang));
    push_start(owner, WM_PUSH_NEWS, 0);
    for (int i = 0; i < 100 && again.connections() == 0; ++i)
        Sleep(20);
    EXPECT_EQ(again.connections(), 1);
    EXPECT_TRUE(push_stop(2000));
    EXPECT_EQ(keep_alives, (std::vector<std::vector<ULONG>>(2, {1, 4 * 60 * 1000, 10 * 1000})));
}

extern "C" BOOL(WINAPI* post_slot)(HWND, UINT, WPARAM, LPARAM) IMPORT_SLOT(PostMessageA, 16);
namespace {
decltype(post_slot) real_post;
LONG posts_to_refuse;   // news posts that fail, as to a queue that is full

BOOL WINAPI refusing_post(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_PUSH_NEWS && InterlockedCompareExchange(&posts_to_refuse, 0, 0) > 0) {
        InterlockedDecrement(&posts_to_refuse);
        return FALSE;
    }
    return real_post(window, message, wparam, lparam);
}
} // namespace

// News that could not be posted is posted at the next change.
TEST_F(MailCheck, PushNewsThatCouldNotBePostedIsPostedAtTheNextChange)
{
    ShortTimes times(1500);
    record_sends();
    if (real_post == nullptr)
        real_post = redirect_import(&post_slot, refusing_post);
    InterlockedExchange(&posts_to_refuse, 1);
    ScriptServer server(SERVER, idling("+ idling\r\n* 3 EXISTS\r\n* 4 EXISTS\r\n", StepEnd::hang));
    push_start(owner, WM_PUSH_NEWS, 0);
    MSG news;
    bool heard = false;
    for (int i = 0; i < 250 && !heard; ++i, Sleep(20))
        heard = PeekMessageA(&news, owner, WM_PUSH_NEWS, WM_PUSH_NEWS, PM_REMOVE) != 0;
    EXPECT_EQ(InterlockedCompareExchange(&posts_to_refuse, 0, 0), 0) << "the first post was never tried";
    EXPECT_TRUE(heard && push_take_news(news.wParam));
    push_stop(2000);
}

// What arrived over IMAP since the check before, and who wrote the newest
// unread mail, read-only and with BODY.PEEK; anything amiss after STATUS
// leaves the notification with the count alone, never a box.
TEST_F(MailCheck, ImapFindsWhatArrivedAndWhoWroteWithoutABox)
{
    const std::string from = "From: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <taro@example.jp>\r\n";
    auto fetched = [&](int sequence, int uid, const std::string& subject, bool uid_last = false) {
        const std::string header = from + "Subject: " + subject + "\r\n\r\n", item = "UID " + std::to_string(uid);
        return "* " + std::to_string(sequence) + " FETCH (" + (uid_last ? "" : item + " ")
            + "BODY[HEADER.FIELDS (FROM SUBJECT)] {" + std::to_string(header.size()) + "}\r\n" + header
            + (uid_last ? " " + item : "") + ")\r\n";
    };
    const ScriptStep EXAMINED = reply("* 5 EXISTS\r\nb1 OK [READ-ONLY] done\r\n");
    const std::string examine = "b1 EXAMINE INBOX\r\n", search = "b2 UID SEARCH UNSEEN\r\n";
    const std::string fetch = "b3 UID FETCH 12,9,4 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n";
    std::string many_unread = "* SEARCH";   // past a reply line's 255 bytes
    for (int uid = 1; uid <= 100; ++uid)
        many_unread += " " + std::to_string(uid);
    struct Row {
        const char* name;
        std::vector<ScriptStep> steps;   // after STATUS
        std::string sent;                // after STATUS
        std::string body;   // composed from what was described, "" for none
        uint32_t uidnext = 0;
        uint32_t since = 0;   // the next UID remembered from the check before, 0: none
        bool arrived = true;
        uint32_t remembered = 0;   // the next UID to remember, 0: UIDNEXT
        uint32_t validity = 7;        // STATUS's
        uint32_t last_validity = 7;   // the check before's
    } rows[] = {
        {"the three newest, newest first", {EXAMINED, reply("* SEARCH 3 9 4 12\r\nb2 OK\r\n"),
          reply(fetched(2, 4, "=?UTF-8?B?5Lya6K2w?=") + fetched(4, 9, "plain") + "* 4 FETCH (FLAGS ())\r\n"
                + fetched(5, 12, "=?UTF-8?Q?=E6=80=A5=E3=81=8E?=") + "b3 OK\r\n")},
         examine + search + fetch, "山田太郎: 急ぎ\n山田太郎: plain\n山田太郎: 会議\nほか1通"},
        {"EXAMINE refused: the next UID that grew", {reply("b1 NO no such mailbox\r\n")}, examine, "", 40, 30},
        {"SEARCH refused: the next UID that grew", {EXAMINED, reply("b2 NO busy\r\n")},
         examine + "b2 UID SEARCH UNSEEN UID 20:*\r\n", "", 40, 30},
        {"the UID after the header", {EXAMINED, reply("* SEARCH 4\r\nb2 OK\r\n"),
          reply(fetched(1, 4, "plain", true) + "b3 OK\r\n")},
         examine + search + "b3 UID FETCH 4 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n", "山田太郎: plain\nほか3通"},
        // Only the last UIDs are searched: the newest come last in a line that would be cut.
        {"only among the UIDs below the next one", {EXAMINED, reply("* SEARCH 4000000017\r\nb2 OK\r\n"),
          reply("b3 NO gone\r\n")},
         examine + "b2 UID SEARCH UNSEEN UID 4000000000:*\r\n"
             + "b3 UID FETCH 4000000017 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n", "", 4000000020u},
        {"a SEARCH line cut at the reply's length", {EXAMINED, reply(many_unread + "\r\nb2 OK\r\n")},
         examine + search, ""},
        // New first, then the older unread; nothing new: nobody described.
        {"one arrived at the next UID remembered, beside an older one", {EXAMINED,
          reply("* SEARCH 25 33\r\nb2 OK\r\n"), reply(fetched(1, 33, "new") + fetched(2, 25, "old") + "b3 OK\r\n")},
         examine + "b2 UID SEARCH UNSEEN UID 20:*\r\n" + "b3 UID FETCH 33,25 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n",
         "山田太郎: new\n山田太郎: old\nほか2通", 40, 33},
        {"only older unread: none arrived", {EXAMINED, reply("* SEARCH 25\r\nb2 OK\r\n")},
         examine + "b2 UID SEARCH UNSEEN UID 20:*\r\n", "", 40, 30, false},
        {"n:* above every UID answers the largest, below it", {EXAMINED, reply("* SEARCH 12\r\nb2 OK\r\n")},
         examine + "b2 UID SEARCH UNSEEN UID 20:*\r\n", "", 40, 30, false},
        {"delivered between STATUS and SEARCH: remembered past it", {EXAMINED,
          reply("* SEARCH 41\r\nb2 OK\r\n"), reply("b3 NO gone\r\n")},
         examine + "b2 UID SEARCH UNSEEN UID 20:*\r\nb3 UID FETCH 41 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n",
         "", 40, 30, true, 42},
        // More than the window's UIDs used since: whether mail arrived is asked from the last next UID on.
        {"a burst, the new one left below the window", {EXAMINED, reply("* SEARCH 35\r\nb2 OK\r\n"),
          reply("* SEARCH 35\r\nb2 OK\r\n")},
         examine + "b2 UID SEARCH UNSEEN UID 30:*\r\nb2 UID SEARCH UNSEEN UID 40:*\r\n", "", 60, 30},
        {"a burst, none of it left", {EXAMINED, reply("* SEARCH 12\r\nb2 OK\r\n"), reply("* SEARCH 12\r\nb2 OK\r\n")},
         examine + "b2 UID SEARCH UNSEEN UID 30:*\r\nb2 UID SEARCH UNSEEN UID 40:*\r\n", "", 60, 30, false},
        {"nothing delivered, the same UIDVALIDITY above 2^31: nothing asked", {}, "", "", 40, 40, false, 0,
         4294967295u, 4294967295u},
        {"another UIDVALIDITY: a new mailbox", {EXAMINED, reply("* SEARCH 22\r\nb2 OK\r\n"), reply("b3 NO gone\r\n")},
         examine + "b2 UID SEARCH UNSEEN UID 20:*\r\nb3 UID FETCH 22 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n",
         "", 40, 40, true, 0, 8},
        {"a header past a few KiB", {EXAMINED, reply("* SEARCH 4\r\nb2 OK\r\n"),
          reply("* 1 FETCH (UID 4 BODY[HEADER.FIELDS (FROM SUBJECT)] {5000}\r\n")},
         examine + search + "b3 UID FETCH 4 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n", ""},
        {"closed before the headers", {EXAMINED, reply("* SEARCH 4\r\nb2 OK\r\n", StepEnd::close)},
         examine + search + "b3 UID FETCH 4 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n", ""},
    };
    ShortTimes times(1500);
    const std::string status = "a2 STATUS INBOX (UNSEEN UIDNEXT UIDVALIDITY)\r\n";
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<ScriptStep> steps = {reply(""), reply("* STATUS INBOX (UNSEEN 4"
            + (row.uidnext ? " UIDNEXT " + std::to_string(row.uidnext) : "") + " UIDVALIDITY "
            + std::to_string(row.validity) + ")\r\na2 OK\r\n")};
        steps.insert(steps.end(), row.steps.begin(), row.steps.end());
        ScriptServer server(SERVER, steps);
        ASSERT_EQ(connection_open(&check_connection, SERVER, 110), Reach::connected);
        MessageBoxHook hook;
        MailboxMemory last = {};
        if (row.since != 0) {
            last = {true, 4, row.since, row.last_validity, 0, {}, {}, {}};
            strcpy(last.server, user_settings.pop_server);
            strcpy(last.account, user_settings.account);
        }
        Finding found;
        {
            CheckWatchdog watchdog(4000);
            EXPECT_EQ(imap_find(&check_connection, owner, last, &found), 1);
        }
        EXPECT_EQ(found.arrived, row.arrived);
        EXPECT_EQ(found.memory.uidnext, row.remembered ? row.remembered : row.uidnext);
        connection_close(&check_connection);
        server.wait_client_closed(3000);
        EXPECT_EQ(server.finish(), status + row.sent);
        EXPECT_TRUE(hook.boxes.empty());
        char16_t body[HEADER_TEXT_SIZE] = {};
        if (found.described > 0)
            compose_notice_body(found.lines, found.described, 4 - found.described, body, HEADER_TEXT_SIZE);
        char shown[1024];
        WideCharToMultiByte(932, 0, reinterpret_cast<wchar_t*>(body), -1, shown, sizeof shown, nullptr, nullptr);
        EXPECT_EQ(std::string(shown), row.body);
    }
}

// Run inside a private network namespace (see CMake): no resolver can be
// reached. With no usable network that is no fault of the mailbox.
TEST_F(MailCheck, UnresolvableServerIsQuietOnlyWithoutANetwork)
{
    strcpy(user_settings.pop_server, "no-such-host.invalid");
    for (bool network : {true, false}) {
        SCOPED_TRACE(network ? "network" : "no network");
        network_present = network;
        MessageBoxHook hook;
        CheckOutcome outcome;
        EXPECT_EQ(check_mailbox(owner, {}, &outcome), network ? 0 : 1);
        network_present = true;
        if (network)
            expect_one_error_box(hook, "POPサーバー名取得に失敗", owner);
        else
            EXPECT_TRUE(hook.boxes.empty());
        EXPECT_TRUE(network || outcome.no_network);
        EXPECT_FALSE(connection_is_open(&check_connection));
    }
}

// The families take turns from the first one's first address on: a broken
// IPv6 path costs one stagger, not one for every IPv6 address. (Wine's
// resolver gives ::1 only once, so the list is the test's own.)
TEST_F(MailCheck, AddressesOfBothFamiliesTakeTurns)
{
    strcpy(user_settings.pop_server, "turns.test");
    resolved_as = {"::1", "::1", "127.0.0.3", "127.0.0.3"};   // all refused
    record_sends();
    record_attempts();
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(owner), 0);
    resolved_as.clear();
    expect_one_error_box(hook, "Mail connect error", owner);
    std::vector<int> families;
    for (const Attempt& attempt : attempts)
        families.push_back(attempt.family);
    EXPECT_EQ(families, (std::vector<int>{AF_INET6, AF_INET, AF_INET6, AF_INET}));
    EXPECT_EQ(open_sockets, 0);
}

TEST(NetworkPresence, AnAdapterUpWithAnAddressAndAGateway)
{
    const struct { const char* name; bool present; FakeAdapter adapter; bool usable; } rows[] = {
        {"connected", true, {}, true},
        {"no adapter at all", false, {}, false},
        {"adapter down", true, {false, 6, true, true}, false},
        {"loopback", true, {true, 24, true, true}, false},
        {"tunnel without a gateway", true, {true, 131, true, false}, false},
        {"no address yet", true, {true, 71, false, true}, false},
    };
    for (const auto& row : rows) {
        network_present = row.present;
        fake_adapter = row.adapter;
        EXPECT_EQ(network_usable(), row.usable) << row.name;
    }
    network_present = true;
    fake_adapter = FakeAdapter();
}

TEST(StartNetwork, StartsVersionTwoTwo)
{
    MessageBoxHook hook;
    EXPECT_EQ(start_network(nullptr), 1);
    EXPECT_TRUE(hook.boxes.empty());
    WSACleanup();
}

// Doubles of the SSPI and chain imports the channel uses. They pass through
// to the real Schannel and, per row, answer as Windows does where Wine's
// Schannel never would (TLS 1.3 tickets, a server asking for a client
// certificate, close_notify, ...), and count what was sealed.
extern "C" SECURITY_STATUS(WINAPI* isc_slot)(PCredHandle, PCtxtHandle, SEC_CHAR*, ULONG, ULONG, ULONG,
                                             PSecBufferDesc, ULONG, PCtxtHandle, PSecBufferDesc, PULONG,
                                             PTimeStamp) IMPORT_SLOT(InitializeSecurityContextA, 48);
extern "C" SECURITY_STATUS(WINAPI* decrypt_slot)(PCtxtHandle, PSecBufferDesc, ULONG, PULONG)
    IMPORT_SLOT(DecryptMessage, 16);
extern "C" SECURITY_STATUS(WINAPI* encrypt_slot)(PCtxtHandle, ULONG, PSecBufferDesc, ULONG)
    IMPORT_SLOT(EncryptMessage, 16);
extern "C" SECURITY_STATUS(WINAPI* query_slot)(PCtxtHandle, ULONG, void*) IMPORT_SLOT(QueryContextAttributesA, 12);
extern "C" BOOL(WINAPI* chain_slot)(HCERTCHAINENGINE, PCCERT_CONTEXT, LPFILETIME, HCERTSTORE, PCERT_CHAIN_PARA,
                                    DWORD, LPVOID, PCCERT_CHAIN_CONTEXT*) IMPORT_SLOT(CertGetCertificateChain, 32);
extern "C" int(WSAAPI* recv_slot)(SOCKET, char*, int, int) IMPORT_SLOT(recv, 16);
extern "C" SECURITY_STATUS(WINAPI* acquire_slot)(SEC_CHAR*, SEC_CHAR*, ULONG, void*, void*, SEC_GET_KEY_FN, void*,
                                                 PCredHandle, PTimeStamp) IMPORT_SLOT(AcquireCredentialsHandleA, 36);
extern "C" BOOL(WINAPI* version_slot)(LPOSVERSIONINFOA) IMPORT_SLOT(GetVersionExA, 4);
extern "C" int(WSAAPI* event_select_slot)(SOCKET, WSAEVENT, long) IMPORT_SLOT(WSAEventSelect, 12);

namespace {

enum class Inject {
    none,
    tickets,                  // TLS 1.3: two tickets back to back before the greeting, one before PASS's reply
    ticket_taking_nothing,    // a ticket whose handshake step hands all its input back
    client_certificate_asked, // SEC_I_INCOMPLETE_CREDENTIALS though no certificate is said from the start
    close_notify_at_stat,     // SEC_I_CONTEXT_EXPIRED where STAT's reply should be
    handshake_takes_nothing,  // every handshake step hands all its input back
    reply_takes_nothing,      // every decrypt from USER's reply on hands all its input back
    zero_length_records,      // a thousand empty records before USER's reply
    no_confidentiality,       // the finished context lacks ISC_RET_CONFIDENTIALITY
    other_certificate,        // a TLS 1.2 re-handshake before the greeting presents a self-signed certificate
    expired_and_untrusted,    // the chain is also out of its dates
};

constexpr int ZERO_RECORDS = 1000;
const unsigned char ZERO_RECORD[5] = {0x17, 0x03, 0x03, 0x00, 0x00};
// Stands for a session ticket (or a re-handshake's first record): handed to
// the check's recv ahead of the server's own bytes.
const unsigned char TICKET_RECORD[6] = {0x17, 0x03, 0x03, 0x00, 0x01, 0x00};

struct SspiScript {
    Inject inject = Inject::none;
    bool handshake_done = false;
    bool renegotiation_pending = false;
    bool renegotiated = false;
    ULONG pending_extra = 0;
    ULONG final_attributes = 0;
    int isc_calls = 0, decrypt_calls = 0;
    int zero_records_to_send = 0;   // still to be handed to the check's next recv
    int zero_records_left = 0;      // still to be taken by DecryptMessage
    int tickets_to_send = 0;        // still to be handed to the check's next recv
    DWORD disabled_protocols = 0, credential_flags = 0;   // of the newer credential record
    std::string first_target = "(no call)";
    std::vector<std::string> sealed;   // what EncryptMessage was given, in order
    DWORD chain_flags = 0, chain_url_timeout = 0;
};
SspiScript sspi;
DWORD pretended_build;   // the Windows build GetVersionExA reports, 0: the real one
decltype(isc_slot) real_isc;
decltype(decrypt_slot) real_decrypt;
decltype(encrypt_slot) real_encrypt;
decltype(query_slot) real_query;
decltype(chain_slot) real_chain;
decltype(recv_slot) real_recv;
decltype(acquire_slot) real_acquire;
decltype(version_slot) real_version;
PCCERT_CONTEXT stranger;   // a self-signed certificate for the re-handshake row

SecBuffer* buffer_of(PSecBufferDesc description, ULONG type)
{
    for (ULONG i = 0; description != nullptr && i < description->cBuffers; ++i)
        if (description->pBuffers[i].BufferType == type)
            return &description->pBuffers[i];
    return nullptr;
}

// The whole input handed back: nothing of it was taken.
void hand_back(PSecBufferDesc input, ULONG length)
{
    input->pBuffers[1] = {length, SECBUFFER_EXTRA, nullptr};
}

bool starts_with_ticket(const SecBuffer* buffer)
{
    return buffer != nullptr && buffer->cbBuffer >= sizeof TICKET_RECORD
        && memcmp(buffer->pvBuffer, TICKET_RECORD, sizeof TICKET_RECORD) == 0;
}

SECURITY_STATUS WINAPI fake_isc(PCredHandle credentials, PCtxtHandle context, SEC_CHAR* target, ULONG request,
                                ULONG reserved, ULONG representation, PSecBufferDesc input, ULONG reserved2,
                                PCtxtHandle new_context, PSecBufferDesc output, PULONG attributes, PTimeStamp expiry)
{
    if (sspi.isc_calls++ == 0)
        sspi.first_target = target != nullptr ? target : "(none)";
    SecBuffer* token = buffer_of(input, SECBUFFER_TOKEN);
    if (sspi.renegotiation_pending) {
        // The ticket or the re-handshake is taken; what came after it is
        // handed back for DecryptMessage.
        sspi.renegotiation_pending = false;
        if (token == nullptr || token->cbBuffer != sspi.pending_extra || input->cBuffers < 2
            || !starts_with_ticket(token))
            return SEC_E_INVALID_TOKEN;
        if (sspi.inject == Inject::ticket_taking_nothing)
            hand_back(input, token->cbBuffer);
        else if (token->cbBuffer > sizeof TICKET_RECORD)
            hand_back(input, token->cbBuffer - sizeof TICKET_RECORD);
        sspi.renegotiated = true;
        *attributes = sspi.final_attributes;
        return SEC_E_OK;
    }
    if (!sspi.handshake_done && token != nullptr && token->cbBuffer > 0) {
        if (sspi.inject == Inject::client_certificate_asked) {
            hand_back(input, token->cbBuffer);
            return SEC_I_INCOMPLETE_CREDENTIALS;
        }
        if (sspi.inject == Inject::handshake_takes_nothing) {
            hand_back(input, token->cbBuffer);
            return SEC_I_CONTINUE_NEEDED;
        }
    }
    SECURITY_STATUS status = real_isc(credentials, context, target, request, reserved, representation, input,
                                      reserved2, new_context, output, attributes, expiry);
    if (status == SEC_E_OK && !sspi.handshake_done) {
        sspi.handshake_done = true;
        if (sspi.inject == Inject::no_confidentiality)
            *attributes &= ~static_cast<ULONG>(ISC_RET_CONFIDENTIALITY);
        sspi.final_attributes = *attributes;
        const bool tickets = sspi.inject == Inject::tickets || sspi.inject == Inject::ticket_taking_nothing;
        sspi.tickets_to_send = tickets ? 2 : sspi.inject == Inject::other_certificate ? 1 : 0;
    }
    return status;
}

SECURITY_STATUS WINAPI fake_decrypt(PCtxtHandle context, PSecBufferDesc message, ULONG sequence, PULONG quality)
{
    const int call = ++sspi.decrypt_calls;
    SecBuffer* data = &message->pBuffers[0];
    const ULONG length = data->cbBuffer;
    char* bytes = static_cast<char*>(data->pvBuffer);
    if (sspi.renegotiation_pending)   // decrypting on past a ticket: what Windows answered in the field
        return SEC_E_CONTEXT_EXPIRED;
    if (starts_with_ticket(data)) {
        // As Windows: the handshake's bytes and all after them in the fourth buffer.
        message->pBuffers[0] = {0, SECBUFFER_STREAM_HEADER, bytes};
        message->pBuffers[1] = {0, SECBUFFER_EMPTY, nullptr};
        message->pBuffers[3] = {length, SECBUFFER_EXTRA, bytes};
        sspi.renegotiation_pending = true;
        sspi.pending_extra = length;
        return SEC_I_RENEGOTIATE;
    }
    if (sspi.inject == Inject::close_notify_at_stat && call == 4)
        return SEC_I_CONTEXT_EXPIRED;
    const bool empty_record = sspi.zero_records_left > 0 && length >= 5 && memcmp(bytes, ZERO_RECORD, 5) == 0;
    if ((sspi.inject == Inject::reply_takes_nothing && call >= 2) || empty_record) {
        const ULONG taken = empty_record ? 5 : 0;
        sspi.zero_records_left -= empty_record ? 1 : 0;
        message->pBuffers[0] = {taken, SECBUFFER_STREAM_HEADER, bytes};
        message->pBuffers[1] = {0, SECBUFFER_DATA, bytes + taken};
        message->pBuffers[2] = {0, SECBUFFER_STREAM_TRAILER, bytes + taken};
        message->pBuffers[3] = {length - taken, static_cast<ULONG>(length > taken ? SECBUFFER_EXTRA : SECBUFFER_EMPTY),
                                 bytes + taken};
        return SEC_E_OK;
    }
    return real_decrypt(context, message, sequence, quality);
}

SECURITY_STATUS WINAPI fake_encrypt(PCtxtHandle context, ULONG quality, PSecBufferDesc message, ULONG sequence)
{
    if (sspi.renegotiation_pending)
        return SEC_E_CONTEXT_EXPIRED;
    SecBuffer* data = buffer_of(message, SECBUFFER_DATA);
    sspi.sealed.push_back(data != nullptr ? std::string(static_cast<char*>(data->pvBuffer), data->cbBuffer) : "");
    if (sspi.inject == Inject::zero_length_records && sspi.sealed.size() == 1)
        sspi.zero_records_to_send = sspi.zero_records_left = ZERO_RECORDS;   // ahead of USER's reply
    if (sspi.inject == Inject::tickets && sspi.sealed.size() == 2)
        sspi.tickets_to_send = 1;   // ahead of PASS's reply
    return real_encrypt(context, quality, message, sequence);
}

// A lone ticket for whichever thread reads next (the push connection's),
// and the event its socket signals, so the test can signal it.
LONG lone_ticket;
WSAEVENT socket_signal;
decltype(event_select_slot) real_event_select;

int WSAAPI recording_event_select(SOCKET s, WSAEVENT event, long events)
{
    if (event != nullptr)
        socket_signal = event;
    return real_event_select(s, event, events);
}

int WSAAPI fake_recv(SOCKET s, char* out, int size, int flags)
{
    if (InterlockedExchange(&lone_ticket, 0) != 0) {
        memcpy(out, TICKET_RECORD, sizeof TICKET_RECORD);
        return sizeof TICKET_RECORD;
    }
    if (GetCurrentThreadId() != checking_thread)
        return real_recv(s, out, size, flags);
    if (sspi.tickets_to_send > 0) {
        int count = 0;
        for (; sspi.tickets_to_send > 0; --sspi.tickets_to_send, ++count)
            memcpy(out + count * sizeof TICKET_RECORD, TICKET_RECORD, sizeof TICKET_RECORD);
        return count * static_cast<int>(sizeof TICKET_RECORD);
    }
    if (sspi.zero_records_to_send == 0)
        return real_recv(s, out, size, flags);
    int count = 0;
    for (; sspi.zero_records_to_send > 0 && (count + 1) * 5 <= size; --sspi.zero_records_to_send, ++count)
        memcpy(out + count * 5, ZERO_RECORD, 5);
    return count * 5;
}

SECURITY_STATUS WINAPI fake_query(PCtxtHandle context, ULONG attribute, void* out)
{
    if (attribute == SECPKG_ATTR_REMOTE_CERT_CONTEXT && sspi.renegotiated && sspi.inject == Inject::other_certificate
        && stranger != nullptr) {
        *static_cast<PCCERT_CONTEXT*>(out) = CertDuplicateCertificateContext(stranger);
        return SEC_E_OK;
    }
    return real_query(context, attribute, out);
}

BOOL WINAPI fake_chain(HCERTCHAINENGINE engine, PCCERT_CONTEXT certificate, LPFILETIME time, HCERTSTORE store,
                       PCERT_CHAIN_PARA request, DWORD flags, LPVOID reserved, PCCERT_CHAIN_CONTEXT* chain)
{
    sspi.chain_flags = flags;
    sspi.chain_url_timeout = request->cbSize >= offsetof(CERT_CHAIN_PARA, dwUrlRetrievalTimeout) + sizeof(DWORD)
        ? request->dwUrlRetrievalTimeout : 0;
    BOOL built = real_chain(engine, certificate, time, store, request, flags, reserved, chain);
    if (built && sspi.inject == Inject::expired_and_untrusted)
        const_cast<CERT_CHAIN_CONTEXT*>(*chain)->TrustStatus.dwErrorStatus |= CERT_TRUST_IS_NOT_TIME_VALID;
    return built;
}

SECURITY_STATUS WINAPI fake_acquire(SEC_CHAR* principal, SEC_CHAR* package, ULONG use, void* logon, void* data,
                                    SEC_GET_KEY_FN get_key, void* argument, PCredHandle credentials,
                                    PTimeStamp expiry)
{
    const SCH_CREDENTIALS* newer = static_cast<const SCH_CREDENTIALS*>(data);
    if (newer != nullptr && newer->dwVersion == SCH_CREDENTIALS_VERSION && newer->cTlsParameters == 1) {
        sspi.disabled_protocols = newer->pTlsParameters->grbitDisabledProtocols;
        sspi.credential_flags = newer->dwFlags;
    }
    return real_acquire(principal, package, use, logon, data, get_key, argument, credentials, expiry);
}

BOOL WINAPI fake_version(LPOSVERSIONINFOA version)
{
    BOOL known = real_version(version);
    if (known && pretended_build != 0) {
        version->dwMajorVersion = 10;
        version->dwBuildNumber = pretended_build;
    }
    return known;
}

void script_sspi(Inject inject)
{
    sspi = SspiScript();
    sspi.inject = inject;
    if (real_isc != nullptr)
        return;
    real_isc = redirect_import(&isc_slot, fake_isc);
    real_decrypt = redirect_import(&decrypt_slot, fake_decrypt);
    real_encrypt = redirect_import(&encrypt_slot, fake_encrypt);
    real_query = redirect_import(&query_slot, fake_query);
    real_chain = redirect_import(&chain_slot, fake_chain);
    real_recv = redirect_import(&recv_slot, fake_recv);
    real_acquire = redirect_import(&acquire_slot, fake_acquire);
    real_version = redirect_import(&version_slot, fake_version);
    real_event_select = redirect_import(&event_select_slot, recording_event_select);
    // A self-signed certificate of a stranger, made here.
    BYTE name[128];
    DWORD name_size = sizeof name;
    if (CertStrToNameA(X509_ASN_ENCODING, "CN=stranger.quillbeam.test", CERT_X500_NAME_STR, nullptr, name,
                       &name_size, nullptr)) {
        CERT_NAME_BLOB subject = {name_size, name};
        stranger = CertCreateSelfSignCertificate(0, &subject, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
}

} // namespace

namespace {

// Forwards one connection to a server, handing the server's bytes to the
// client a few at a time: TLS records then arrive in pieces.
class PieceRelay {
public:
    PieceRelay(const char* address, const char* server, size_t piece, int delay_ms = 0, u_short port = 995)
        : piece_(piece), delay_(delay_ms)
    {
        sockaddr_storage where;
        const int length = test_address(address, port, &where);
        server_length_ = test_address(server, port, &server_);
        listener_ = socket(where.ss_family, SOCK_STREAM, 0);
        BOOL reuse = TRUE;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&where), length) == 0
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
        SOCKET server = socket(server_.ss_family, SOCK_STREAM, 0);
        if (connect(server, reinterpret_cast<sockaddr*>(&server_), server_length_) == 0) {
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
                    Sleep(static_cast<DWORD>(delay_));
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
    int delay_;
    SOCKET listener_;
    sockaddr_storage server_;
    int server_length_;
    std::thread thread_;
};

const char* const NOTICE_3 = "add_mail:合計3通のメールが着ています";

struct SecureRow {
    const char* name;
    const char* server;                  // the POP server field
    const char* box;                     // the error box, or none: then the notice for 3
    Inject inject = Inject::none;        // what the SSPI doubles answer instead of Wine
    std::vector<ScriptStep> script{};    // a scripted server on SERVER instead of Dovecot
    const char* script_received = "";    // what that server must have received (none: a ClientHello)
    size_t piece = 0;                    // relay Dovecot's bytes in pieces of this size
    const char* step = nullptr;          // what the support line must name, if anything
    const char* script_address = SERVER; // where the scripted server listens
};

const std::vector<std::string> LOGIN_AND_STAT = {"USER poptest\r\n", "PASS Secr3t\r\n", "STAT\r\n", "UIDL 3\r\n"};
const std::vector<std::string> IMAP_LOGIN_AND_STATUS = {"a1 LOGIN \"poptest\" \"Secr3t\"\r\n",
                                                        "a2 STATUS INBOX (UNSEEN UIDNEXT UIDVALIDITY)\r\n", "a3 LOGOUT\r\n"};

class SecureMailbox : public MailCheck {
protected:
    void SetUp() override
    {
        MailCheck::SetUp();
        user_settings = settings_record({SERVER, "poptest", "Secr3t", "300", "", 0});
    }
    ShortTimes times{3000};   // every wait of a row within a few seconds

    void check(const SecureRow& row)
    {
        SCOPED_TRACE(row.name);
        strcpy(user_settings.pop_server, row.server);
        recorded_calls.clear();
        // The rows judge the connection: the mailbox is known, nothing in it is new.
        last_mailbox = {true, INT32_MAX, UINT32_MAX, 0, 0, {}, {}, {}};
        strcpy(last_mailbox.server, row.server);
        strcpy(last_mailbox.account, user_settings.account);
        std::unique_ptr<ScriptServer> script;
        if (!row.script.empty()) {
            script.reset(new ScriptServer(row.script_address, row.script));
            ASSERT_TRUE(script->listening());
        }
        std::unique_ptr<PieceRelay> relay;
        if (row.piece > 0)
            relay.reset(new PieceRelay("127.0.0.26", "127.0.0.21", row.piece));
        MessageBoxHook hook;
        record_sends();
        script_sspi(row.inject);
        DWORD start = GetTickCount();
        EXPECT_EQ(check_mailbox(owner), row.box == nullptr ? 1 : 0) << testing::PrintToString(debug_lines);
        EXPECT_LT(GetTickCount() - start, mail_reply_time_ms + 2000) << "the row's bound";
        if (row.step != nullptr) {
            ASSERT_FALSE(debug_lines.empty());
            EXPECT_NE(debug_lines.back().find(std::string(" at ") + row.step), std::string::npos)
                << debug_lines.back();
        }
        if (row.box != nullptr) {
            expect_one_error_box(hook, row.box, owner);
            EXPECT_TRUE(recorded_calls.empty());
            // These fail after the greeting: by then the login may be on its way.
            const bool after_greeting = row.inject == Inject::close_notify_at_stat
                || row.inject == Inject::reply_takes_nothing || row.inject == Inject::ticket_taking_nothing
                || row.inject == Inject::other_certificate;
            if (!after_greeting) {
                EXPECT_TRUE(sspi.sealed.empty()) << "sealed before the judgement";
            }
        } else {
            EXPECT_TRUE(hook.boxes.empty());
            EXPECT_EQ(recorded_calls, (std::vector<std::string>{"remove_mail", NOTICE_3}));
            ServerAddress address;
            parse_server_address(row.server, &address);
            EXPECT_EQ(sspi.sealed, address.protocol == Protocol::imap ? IMAP_LOGIN_AND_STATUS : LOGIN_AND_STAT);
            // The session's end is said: a close_notify alert is the last thing sent.
            ASSERT_FALSE(sends.empty());
            EXPECT_EQ(sends.back().substr(0, 3), std::string("\x15\x03\x03", 3)) << "no close_notify";
        }
        // The login never crosses the network readable.
        for (const std::string& sent : sends) {
            EXPECT_EQ(sent.find("USER"), std::string::npos);
            EXPECT_EQ(sent.find("PASS"), std::string::npos);
            EXPECT_EQ(sent.find("Secr3t"), std::string::npos);
        }
        EXPECT_FALSE(connection_is_open(&check_connection));
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


} // namespace

// Dovecot with TLS on its own addresses (tests/support/tls-mailbox), the
// test CA trusted in this prefix only, pop.quillbeam.test in a private hosts
// file (see CMake).
TEST_F(SecureMailbox, DovecotCertificates)
{
    const SecureRow rows[] = {
        {"pop3s by address", "pop3s://127.0.0.21", nullptr},
        {":995 by address", "127.0.0.21:995", nullptr},
        {"STLS by address", "starttls://127.0.0.21", nullptr},
        {"pop3s by name", "POP3S://pop.quillbeam.test", nullptr},
        {"STLS by name", "starttls://pop.quillbeam.test:110", nullptr},
        {"wrong name", "pop3s://other.quillbeam.test", NAME_MISMATCH, Inject::none, {}, "", 0, "certificate policy"},
        {"other address", "pop3s://127.0.0.25", NAME_MISMATCH, Inject::none, {}, "", 0, "certificate address"},
        {"expired", "pop3s://127.0.0.22", EXPIRED, Inject::none, {}, "", 0, "certificate chain"},
        {"untrusted CA, leaf only", "pop3s://127.0.0.24", UNTRUSTED},
        {"self-signed", "pop3s://127.0.0.23", UNTRUSTED, Inject::none, {}, "", 0, "certificate chain"},
        {"self-signed after STLS", "starttls://127.0.0.23", UNTRUSTED},
        {"not yet valid", "pop3s://127.0.0.36", NOT_YET_VALID},
        {"revoked by the CA's list", "pop3s://127.0.0.38", REVOKED},
        {"revocation list out of reach", "pop3s://127.0.0.40", nullptr},
        // The right certificate only to a client that sends the name as SNI.
        {"SNI chooses the certificate", "pop3s://sni.quillbeam.test", nullptr},
        {"pop3s by IPv6 address", "pop3s://[::1]:1995", nullptr},
        {"imaps by name", "IMAPS://pop.quillbeam.test", nullptr},
        {"imaps by IPv6 address", "imaps://[::1]:1993", nullptr},
        // 3 new, 2 read: the notice says 3, where STAT would say 5.
        {"imaps counts unread mail only", "imaps://127.0.0.42", nullptr},
        {":993 by address", "127.0.0.42:993", nullptr},
        {"imaps, expired", "imaps://127.0.0.22", EXPIRED},
        {"STLS by IPv6 address", "starttls://[::1]:1110", nullptr},
    };
    for (const SecureRow& row : rows)
        check(row);
}

// What Windows answers and Wine never does, through the SSPI doubles.
TEST_F(SecureMailbox, WindowsStatuses)
{
    const SecureRow rows[] = {
        {"TLS 1.3 tickets after the handshake and between replies", "pop3s://127.0.0.21", nullptr, Inject::tickets},
        {"ticket whose handshake step takes nothing", "pop3s://127.0.0.21", RECEIVE_FAILED,
         Inject::ticket_taking_nothing, {}, "", 0, "receive"},
        {"client certificate asked for though none is supplied", "pop3s://127.0.0.21", HANDSHAKE_FAILED,
         Inject::client_certificate_asked, {}, "", 0, "client certificate"},
        {"expired and untrusted: untrusted first", "pop3s://127.0.0.23", UNTRUSTED, Inject::expired_and_untrusted},
        {"close_notify before STAT's reply", "pop3s://127.0.0.21", STAT_RECEIVE_FAILED, Inject::close_notify_at_stat},
        {"handshake step that takes nothing", "pop3s://127.0.0.21", HANDSHAKE_FAILED, Inject::handshake_takes_nothing},
        {"decrypt that takes nothing", "pop3s://127.0.0.21", RECEIVE_FAILED, Inject::reply_takes_nothing},
        {"a thousand empty records", "pop3s://127.0.0.21", nullptr, Inject::zero_length_records},
        {"context without confidentiality", "pop3s://127.0.0.21", HANDSHAKE_FAILED, Inject::no_confidentiality},
        {"re-handshake to a self-signed certificate", "pop3s://127.0.0.21", UNTRUSTED, Inject::other_certificate,
         {}, "", 0, "certificate chain"},
    };
    for (const SecureRow& row : rows) {
        check(row);
        // A status that takes nothing waits for bytes; it never spins.
        const bool empty_records = row.inject == Inject::zero_length_records;
        EXPECT_LT(sspi.isc_calls + sspi.decrypt_calls, 60 + (empty_records ? ZERO_RECORDS : 0)) << row.name;
        if (empty_records) {
            EXPECT_GE(sspi.decrypt_calls, ZERO_RECORDS) << "the empty records were not all decrypted";
        }
    }
    EXPECT_NE(stranger, nullptr);
    // The chain is built with revocation checked (the root left out), its
    // fetches (an issuer, its issuer, a root, revocation) together bounded
    // by what is left of the reply's time.
    EXPECT_EQ(sspi.chain_flags & CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT,
              static_cast<DWORD>(CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT));
    EXPECT_GT(sspi.chain_url_timeout, 0u);
    EXPECT_LE(sspi.chain_url_timeout * 4, mail_reply_time_ms);
}

TEST_F(SecureMailbox, Tls13OnlyFromTheFirstWindowsThatFinishedIt)
{
    const struct { DWORD build; bool tls13; } rows[] = {{19045, false}, {20348, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.build);
        pretended_build = row.build;
        check({"by build", "pop3s://127.0.0.21", nullptr});
        EXPECT_EQ((sspi.disabled_protocols & SP_PROT_TLS1_3_CLIENT) == 0, row.tls13);
        EXPECT_EQ(sspi.disabled_protocols & SP_PROT_TLS1_2_CLIENT, 0u);
        EXPECT_NE(sspi.credential_flags & SCH_USE_STRONG_CRYPTO, 0u) << "weak suites on offer";
    }
    pretended_build = 0;
}

TEST_F(SecureMailbox, SniIsTheNameAndNeverAnAddress)
{
    const struct { const char* server; const char* sni; } rows[] = {
        {"pop3s://pop.quillbeam.test", "pop.quillbeam.test"},
        {"pop3s://127.0.0.21", "(none)"},
        {"pop3s://[::1]:1995", "(none)"},
    };
    for (const auto& row : rows) {
        check({row.server, row.server, nullptr});
        EXPECT_EQ(sspi.first_target, row.sni);
    }
}

// Every address of a name is tried, in the order Windows gives, until the
// mailbox answers; the attempts that lose are closed. The dead addresses
// rank first here (127.0.0.10 and .11 share a longer prefix with 127.0.0.1
// than the mailbox's 127.0.0.21 does).
TEST_F(SecureMailbox, EveryAddressOfTheNameIsTried)
{
    ShortTimes full_times(30000);
    SynDropper dead_ipv4("127.0.0.10");
    SynDropper dead_ipv6("::1", 995);
    ASSERT_TRUE(dead_ipv4.full() && dead_ipv6.full());
    const struct { const char* name; const char* field; std::vector<std::string> tried; } rows[] = {
        {"a dead address, then the mailbox", "two.quillbeam.test", {"127.0.0.10:110", "127.0.0.21:110"}},
        // A refusal starts the next attempt at once, not at the stagger.
        {"dead, refused, then the mailbox", "three.quillbeam.test",
         {"127.0.0.10:110", "127.0.0.11:110", "127.0.0.21:110"}},
        {"a dead IPv6 path beside a live IPv4 one", "pop3s://dual.quillbeam.test", {"[::1]:995", "127.0.0.21:995"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        strcpy(user_settings.pop_server, row.field);
        recorded_calls.clear();
        record_sends();
        record_attempts();
        MessageBoxHook hook;
        DWORD start = GetTickCount();
        EXPECT_EQ(check_mailbox(owner), 1);
        EXPECT_LT(GetTickCount() - start, 2000u) << "an attempt waited for the dead one";
        EXPECT_TRUE(hook.boxes.empty());
        EXPECT_EQ(recorded_calls, (std::vector<std::string>{"remove_mail", NOTICE_3}));
        std::vector<std::string> tried;
        for (const Attempt& attempt : attempts)
            tried.push_back(attempt.address);
        EXPECT_EQ(tried, row.tried);
        EXPECT_EQ(open_sockets, 0) << "a losing attempt's socket was left open";
        if (attempts.size() == 3) {
            EXPECT_GE(attempts[1].at - attempts[0].at, 200u);
            EXPECT_LT(attempts[2].at - attempts[1].at, 200u) << "the refusal waited for the stagger";
        }
    }
}


// New over IMAP is an unread message at or above the next UID the check
// before saw: a read message filed into the inbox is not, an unread one
// is, named first; a rebuilt mailbox (another UIDVALIDITY, a lower next
// UID) is new again; a check that finds nothing unread removes the notice.
TEST_F(SecureMailbox, NewMeansAnUnreadMessageThatArrived)
{
    const std::string maildir = tls_maildir("127.0.0.43");
    // Filed into the inbox as a mail program files it (APPEND), read or not.
    auto append = [&](const char* flags, const char* from, const char* subject = "hello") {
        static Connection c;   // large: not on the stack
        const std::string message = std::string("From: ") + from + "\r\nSubject: " + subject + "\r\n\r\nHi.\r\n";
        const std::string command = std::string("x1 APPEND INBOX (") + flags + ") {" + std::to_string(message.size()) + "}\r\n";
        bool idle = false;
        ASSERT_EQ(connection_open(&c, "127.0.0.43", 993), Reach::connected);
        ASSERT_EQ(connection_start_tls(&c, nullptr), TlsFailure::none);
        ASSERT_TRUE(imap_login(&c, owner, {user_settings.account, user_settings.password, nullptr, nullptr, 0, 0}, &idle));
        ASSERT_TRUE(imap_command(&c, owner, command.c_str(), "x1", ImapLine::continuation));
        ASSERT_TRUE(imap_command(&c, owner, (message + "\r\n").c_str(), "x1", ImapLine::ok));
        connection_close(&c);
    };
    auto all_gone = [&] {
        for (const char* folder : {"new\\", "cur\\"}) {
            WIN32_FIND_DATAA found;
            HANDLE search = FindFirstFileA((maildir + folder + "*").c_str(), &found);
            for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
                if (found.cFileName[0] != '.')
                    DeleteFileA((maildir + folder + found.cFileName).c_str());
            FindClose(search);
        }
    };
    const struct { const char* name; std::function<void()> change; const char* balloon; bool notice; } rows[] = {
        {"the first finding", [] {}, "合計3通のメールが着ています|山田太郎: 会議の件 3\n", true},
        {"nothing changed", [] {}, nullptr, true},
        {"a read message filed in", [&] { append("\\Seen", "filed@example.jp"); }, nullptr, true},
        {"an unread message filed in", [&] { append("", "new@example.jp"); },
         "合計4通のメールが着ています|new@example.jp: hello\n山田太郎: 会議の件 3\n", true},
        {"the mailbox rebuilt", [] { last_mailbox.uidvalidity ^= 1; last_mailbox.uidnext += 100; },
         "合計4通のメールが着ています|new@example.jp: hello\n", true},
        {"all read or gone elsewhere", all_gone, nullptr, false},
    };
    // Its own mailbox, whatever a run before left: three unread, as the fixture's.
    all_gone();
    for (const char* subject : {"=?UTF-8?B?5Lya6K2w44Gu5Lu2IDE=?=", "=?UTF-8?B?5Lya6K2w44Gu5Lu2IDI=?=",
                                "=?UTF-8?B?5Lya6K2w44Gu5Lu2IDM=?="})
        ASSERT_NO_FATAL_FAILURE(append("", "=?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <taro@example.jp>", subject));
    last_mailbox = {};
    strcpy(user_settings.pop_server, "imaps://127.0.0.43");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.change();
        recorded_calls.clear();
        recorded_balloons.clear();
        MessageBoxHook hook;
        EXPECT_EQ(check_mailbox(owner), 1);
        EXPECT_TRUE(hook.boxes.empty());
        ASSERT_EQ(recorded_balloons.size(), row.balloon != nullptr ? 1u : 0u);
        if (row.balloon != nullptr) {
            EXPECT_EQ(recorded_balloons[0].rfind(row.balloon, 0), 0u) << recorded_balloons[0];
        }
        ASSERT_FALSE(recorded_calls.empty());
        EXPECT_EQ(recorded_calls.back().rfind("add_mail:", 0) == 0, row.notice) << recorded_calls.back();
    }
}

// New mail over IMAP says who wrote and about what, newest first, and
// reading the headers marks nothing \Seen (Dovecot keeps a message's flags
// in its file name, after ":2,").
TEST_F(SecureMailbox, NewImapMailSaysWhoWroteAndNothingBecomesSeen)
{
    last_mailbox = {};
    strcpy(user_settings.pop_server, "imaps://127.0.0.21");
    recorded_balloons.clear();
    script_sspi(Inject::none);
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(owner), 1) << testing::PrintToString(debug_lines);
    EXPECT_TRUE(hook.boxes.empty());
    EXPECT_EQ(recorded_balloons, std::vector<std::string>{"合計3通のメールが着ています|"
                                                          "山田太郎: 会議の件 3\n山田太郎: 会議の件 2\n山田太郎: 会議の件 1"});
    const std::string maildir = tls_maildir("127.0.0.21");
    int messages = 0;
    for (const char* folder : {"new", "cur"}) {
        WIN32_FIND_DATAA found;
        const std::string pattern = maildir + folder + "\\*.demo*";
        HANDLE search = FindFirstFileA(pattern.c_str(), &found);
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
            ++messages;
            const char* flags = strstr(found.cFileName, ":2,");
            EXPECT_TRUE(flags == nullptr || strchr(flags, 'S') == nullptr) << found.cFileName;
        }
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
    }
    EXPECT_EQ(messages, 3);
}

// A TLS record without data while idling (a late session ticket, a TLS 1.3
// KeyUpdate) is taken and the push connection waits on, rather than read
// on to its reply time for data that never comes and end.
TEST_F(SecureMailbox, ALoneTicketWhileIdlingKeepsThePushConnection)
{
    script_sspi(Inject::none);
    record_sends();
    strcpy(user_settings.pop_server, "imaps://127.0.0.43");
    push_start(owner, WM_PUSH_NEWS, 0);
    ASSERT_TRUE(wrote_line("Quillbeam: push: idling"));
    InterlockedExchange(&lone_ticket, 1);
    SetEvent(socket_signal);   // as the socket signals a record that came
    Sleep(mail_reply_time_ms + 1000);
    EXPECT_TRUE(sspi.renegotiated) << "the ticket never reached the push connection";
    EXPECT_TRUE(push_stop(3000));
    std::lock_guard<std::mutex> lock(debug_mutex);
    ASSERT_FALSE(debug_lines.empty());
    EXPECT_EQ(debug_lines.back(), "Quillbeam: push: closed\n") << testing::PrintToString(debug_lines);
}

TEST_F(SecureMailbox, WholeCheckBoundsTheHandshakeToo)
{
    // STLS, then every step of the server 0.9 s after the client's: each
    // well within its own 2 s, the whole past the check's 2.5 s.
    ShortTimes times(2000, 2500);
    PieceRelay relay("127.0.0.26", "127.0.0.21", 4096, 900, 110);
    strcpy(user_settings.pop_server, "starttls://127.0.0.26");
    MessageBoxHook hook;
    script_sspi(Inject::none);
    DWORD start = GetTickCount();
    EXPECT_EQ(check_mailbox(owner), 0);
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 2400u);
    EXPECT_LT(waited, 3300u);
    EXPECT_EQ(hook.boxes.size(), 1u);
    EXPECT_TRUE(sspi.sealed.empty());
}

TEST_F(SecureMailbox, RecordsInPiecesOfOneToSevenBytes)
{
    ShortTimes times(10000);   // a byte at a time takes its time on a loaded machine
    for (size_t piece = 1; piece <= 7; ++piece)
        check({"pieces", "pop3s://127.0.0.26", nullptr, Inject::none, {}, "", piece});
}

TEST_F(SecureMailbox, ServersThatFailTheHandshake)
{
    const SecureRow rows[] = {
        {"plain server on a TLS port", "pop3s://127.0.0.2:110", NOT_TLS, Inject::none,
         {reply("+OK ready\r\n")}, nullptr, 0, "handshake, code 0x0000002B, server 127.0.0.2:110"},
        {"closed mid-handshake", "pop3s://127.0.0.2:110", HANDSHAKE_FAILED, Inject::none,
         {reply("", StepEnd::close)}, nullptr, 0, "receive"},
        {"STLS refused", "starttls://127.0.0.2", "-ERR not now",
         Inject::none, {reply("+OK\r\n"), reply("-ERR not now\r\n")}, "STLS\r\n"},
        {"STLS injection", "starttls://127.0.0.2", "STLSの後に暗号化されていないデータを受信しました",
         Inject::none, {reply("+OK\r\n"), reply("+OK Begin TLS\r\n+OK 9 9\r\n")}, "STLS\r\n"},
        {"STLS refused over IPv6", "starttls://[::1]", "-ERR not now", Inject::none,
         {reply("+OK\r\n"), reply("-ERR not now\r\n")}, "STLS\r\n", 0,
         "the server's reply, code 0x00000000, server [::1]:110\n", "::1"},
        {"a record past any legal size", "pop3s://127.0.0.2:110", HANDSHAKE_FAILED, Inject::none,
         {endless(std::string("\x16\x03\x03\xff\xff", 5) + std::string(4091, 'x'), 4096, 0)}, nullptr, 0,
         "record size"},
    };
    for (const SecureRow& row : rows)
        check(row);
    // Silent mid-handshake: bounded by the reply deadline (the row's bound).
    check({"silent mid-handshake", "pop3s://127.0.0.2:110", HANDSHAKE_FAILED, Inject::none,
           {reply("", StepEnd::hang)}, nullptr});
}

// A DNS server that never answers holds no check past its reply time: the
// lookup is waited for by the check's deadline, and left to end by itself.
TEST_F(MailCheck, NameLookupEndsByTheChecksBound)
{
    ShortTimes times(1000);
    record_attempts();
    resolver_delay_ms = 3000;
    MessageBoxHook hook;
    record_sends();
    const DWORD start = GetTickCount();
    EXPECT_EQ(check_mailbox(owner), 0);
    const DWORD took = GetTickCount() - start;
    resolver_delay_ms = 0;
    EXPECT_LT(took, 2000u);
    expect_one_error_box(hook, "POPサーバー名取得に失敗", owner);
    expect_support_line("resolve", nullptr);
    // The one left behind ends by itself; the next check is not held by it.
    ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
    EXPECT_EQ(check_mailbox(owner), 1);
    Sleep(3000);   // its thread ended before the doubles go
}

TEST_F(MailCheck, ServerFieldThatFitsNoFormSendsNothing)
{
    {   // a check that connected: its server is no part of the next one's line
        ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
        EXPECT_EQ(check_mailbox(owner), 1);
    }
    for (const char* text : {"127.0.0.2:", "127.0.0.2:0", "127.0.0.2:70000", "imap://127.0.0.2",
                             "[127.0.0.2]", "[::1%1]"}) {
        SCOPED_TRACE(text);
        ScriptServer server(SERVER, mailbox("+OK 1 1\r\n"));
        strcpy(user_settings.pop_server, text);
        MessageBoxHook hook;
        record_sends();
        EXPECT_EQ(check_mailbox(owner), 0);
        expect_one_error_box(hook, "POPサーバー名の書式が正しくありません", owner);
        expect_support_line("the server field", nullptr);
        EXPECT_EQ(server.finish(), "");
        EXPECT_EQ(server.connections(), 0);
    }
}

TEST_F(MailCheck, PlainPortsAndAddressesInTheServerField)
{
    // Each is the plain exchange byte for byte, as the address alone (127.2:
    // the looser form the older lookup took; an IPv4-mapped address, which
    // Windows's IPv6-only sockets could never reach, as the IPv4 one).
    const struct { const char* field; const char* listen; } rows[] = {
        {"127.0.0.2:110", SERVER}, {"[::1]", "::1"}, {"[0:0::1]:110", "::1"}, {"127.2", SERVER},
        {"[::ffff:127.0.0.2]", SERVER},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.field);
        ScriptServer server(row.listen, mailbox("+OK 3 300\r\n"));
        ASSERT_TRUE(server.listening());
        strcpy(user_settings.pop_server, row.field);
        record_sends();
        EXPECT_EQ(check_mailbox(owner), 1);
        server.wait_client_closed(3000);
        EXPECT_EQ(server.finish(), mailbox_exchange("taro", "secret", 3));
        EXPECT_EQ(sends, (std::vector<std::string>{"USER taro\r\n", "PASS secret\r\n", "STAT\r\n", "UIDL 3\r\n"}));
    }
}
