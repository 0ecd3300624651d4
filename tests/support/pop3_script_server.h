// A scripted POP3 server on a loopback address (IPv4 or IPv6), port 110, running on its own
// thread. It plays one connection (or, asked to, every connection one after
// the other, so a check too many is counted rather than left hanging): step 0 is the greeting; every later step
// first reads one command line from the client, then sends its reply. It
// records every byte the client sent.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

enum class StepEnd {
    next,     // go on with the next step
    close,    // stop sending (FIN) after this reply; keep reading until the client closes
    hang,     // never send anything again; keep reading until the client closes
    reset,    // abort the connection (RST) after this reply
    stream,   // send this reply again and again until the client closes
    uidl,     // send nothing: answer every UIDL from here on for a mailbox of `reply`
              // messages, whose ids are id-1, id-2, …
};

struct ScriptStep {
    std::string reply;        // bytes to send, may be empty
    StepEnd end = StepEnd::next;
    size_t piece_size = 0;    // 0: the whole reply in one send
    int piece_delay_ms = 0;   // pause before each piece
};

// A loopback address of the tests, IPv4 ("127.0.0.2") or IPv6 ("::1"),
// with a port; returns the length of what was filled in.
int test_address(const char* address, unsigned short port, sockaddr_storage* out);

class ScriptServer {
public:
    ScriptServer(const char* address, std::vector<ScriptStep> steps, bool every_connection = false);
    ~ScriptServer();

    // Waits (at most timeout_ms) for the client to close its end; true when it did.
    bool wait_client_closed(DWORD timeout_ms);
    // Waits for the server thread to end and returns what the client sent.
    std::string finish();

    bool listening() const { return listener_ != INVALID_SOCKET; }
    int connections() const { return connections_.load(); }

private:
    void run();
    void serve(SOCKET connection);
    bool read_line(SOCKET connection);
    void send_reply(SOCKET connection, const ScriptStep& step);
    void drain(SOCKET connection);
    void stream(SOCKET connection, const ScriptStep& step);
    void answer_uidl(SOCKET connection, long count);

    std::vector<ScriptStep> steps_;
    bool every_connection_;
    SOCKET listener_;
    std::string received_;
    std::atomic<int> connections_{0};
    HANDLE client_closed_;
    HANDLE stop_;
    std::thread thread_;
};

// One step of a script: the reply's bytes exactly as written (NULs
// included) and how the step ends.
template <size_t N>
ScriptStep reply(const char (&bytes)[N], StepEnd end = StepEnd::next)
{
    return ScriptStep{std::string(bytes, N - 1), end};
}
inline ScriptStep reply(const std::string& bytes, StepEnd end = StepEnd::next) { return ScriptStep{bytes, end}; }
// A server that sends bytes, piece by piece, again and again, never ending its line.
inline ScriptStep endless(const std::string& bytes, size_t piece, int delay_ms)
{
    return ScriptStep{bytes, StepEnd::stream, piece, delay_ms};
}

// The same steps, each sent in pieces of `size` bytes with `delay_ms` before each.
inline std::vector<ScriptStep> in_pieces(std::vector<ScriptStep> steps, size_t size, int delay_ms)
{
    for (ScriptStep& step : steps) {
        step.piece_size = size;
        step.piece_delay_ms = delay_ms;
    }
    return steps;
}

// A mailbox that accepts the login, answers STAT with stat_reply and, with
// mail waiting, UIDL (message n's id is "id-n").
std::vector<ScriptStep> mailbox(const char* stat_reply);
// What a check sends to it: USER, PASS, STAT, and with mail "UIDL n".
std::string mailbox_exchange(const char* account, const char* password, int32_t count);

// The check's own failure texts, as the user sees them.
constexpr const char* RECEIVE_FAILED = "メールデータ受信に失敗";
constexpr const char* STAT_RECEIVE_FAILED = "メールデータ受信失敗";
constexpr const char* SEND_FAILED = "メールデータ送信に失敗";
constexpr const char* NOT_TLS = "サーバーはこのポートでTLSを使っていません";
constexpr const char* HANDSHAKE_FAILED = "TLSの接続に失敗しました";
constexpr const char* UNTRUSTED = "サーバー証明書の発行元が信頼されていません";
constexpr const char* NAME_MISMATCH = "サーバー証明書の名前がPOPサーバー名と一致しません";
constexpr const char* EXPIRED = "サーバー証明書の有効期限が切れています";
constexpr const char* NOT_YET_VALID = "サーバー証明書はまだ有効になっていません（パソコンの日付と時刻を確認してください）";
constexpr const char* REVOKED = "サーバー証明書は失効しています";
