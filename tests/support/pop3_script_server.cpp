#include "tests/support/pop3_script_server.h"

#include "mailcheck/pop3_reply.h"

#include <ws2tcpip.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int test_address(const char* address, unsigned short port, sockaddr_storage* out)
{
    memset(out, 0, sizeof *out);
    if (strchr(address, ':') != nullptr) {
        sockaddr_in6* six = reinterpret_cast<sockaddr_in6*>(out);
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(port);
        inet_pton(AF_INET6, address, &six->sin6_addr);
        return sizeof *six;
    }
    sockaddr_in* four = reinterpret_cast<sockaddr_in*>(out);
    four->sin_family = AF_INET;
    four->sin_port = htons(port);
    four->sin_addr.s_addr = inet_addr(address);
    return sizeof *four;
}

ScriptServer::ScriptServer(const char* address, std::vector<ScriptStep> steps, bool every_connection)
    : steps_(std::move(steps)), every_connection_(every_connection), listener_(INVALID_SOCKET),
      client_closed_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    sockaddr_storage where;
    int length = test_address(address, 110, &where);
    listener_ = socket(where.ss_family, SOCK_STREAM, 0);
    BOOL reuse = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof reuse);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&where), length) != 0
        || listen(listener_, 4) != 0) {
        fprintf(stderr, "scripted POP3 server: %s port 110 is already taken by another program "
                        "(error %d); the tests need it for themselves\n", address, WSAGetLastError());
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        return;
    }
    thread_ = std::thread([this] { run(); });
}

ScriptServer::~ScriptServer()
{
    SetEvent(stop_);
    if (thread_.joinable())
        thread_.join();
    if (listener_ != INVALID_SOCKET)
        closesocket(listener_);
    CloseHandle(client_closed_);
    CloseHandle(stop_);
}

bool ScriptServer::wait_client_closed(DWORD timeout_ms)
{
    return WaitForSingleObject(client_closed_, timeout_ms) == WAIT_OBJECT_0;
}

std::string ScriptServer::finish()
{
    SetEvent(stop_);
    if (thread_.joinable())
        thread_.join();
    return received_;
}

// Waits for readability, giving up when the test has asked the server to stop.
static bool wait_readable(SOCKET s, HANDLE stop)
{
    for (;;) {
        if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)
            return false;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tick = {0, 5000};   // a stop is seen within 5 ms: the tests wait on it
        int ready = select(0, &set, nullptr, nullptr, &tick);
        if (ready < 0)
            return false;
        if (ready > 0)
            return true;
    }
}

bool ScriptServer::read_line(SOCKET connection)
{
    for (;;) {
        if (!wait_readable(connection, stop_))
            return false;
        char c;
        int got = recv(connection, &c, 1, 0);
        if (got <= 0) {
            SetEvent(client_closed_);
            return false;
        }
        received_.push_back(c);
        if (c == '\n')
            return true;
    }
}

void ScriptServer::drain(SOCKET connection)
{
    for (;;) {
        if (!wait_readable(connection, stop_))
            return;
        char buffer[512];
        int got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) {
            SetEvent(client_closed_);
            return;
        }
        received_.append(buffer, static_cast<size_t>(got));
    }
}

// A peer that never ends its line: bytes go out until the client closes.
void ScriptServer::stream(SOCKET connection, const ScriptStep& step)
{
    u_long non_blocking = 1;
    ioctlsocket(connection, FIONBIO, &non_blocking);
    for (;;) {
        size_t piece = step.piece_size == 0 ? step.reply.size() : step.piece_size;
        for (size_t at = 0; at < step.reply.size(); at += piece) {
            if (WaitForSingleObject(stop_, static_cast<DWORD>(step.piece_delay_ms)) == WAIT_OBJECT_0)
                return;
            size_t length = step.reply.size() - at < piece ? step.reply.size() - at : piece;
            char buffer[512];
            int got = recv(connection, buffer, sizeof buffer, 0);
            if (got > 0)
                received_.append(buffer, static_cast<size_t>(got));
            int sent = send(connection, step.reply.data() + at, static_cast<int>(length), 0);
            bool blocked = sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
            if (got == 0 || (sent < 0 && !blocked)) {
                SetEvent(client_closed_);
                return;
            }
            if (blocked)
                Sleep(1);   // the client is not reading: keep the pressure on
        }
    }
}

void ScriptServer::send_reply(SOCKET connection, const ScriptStep& step)
{
    size_t piece = step.piece_size == 0 ? step.reply.size() : step.piece_size;
    for (size_t at = 0; at < step.reply.size(); at += piece) {
        if (step.piece_delay_ms > 0)
            Sleep(static_cast<DWORD>(step.piece_delay_ms));
        size_t length = step.reply.size() - at < piece ? step.reply.size() - at : piece;
        send(connection, step.reply.data() + at, static_cast<int>(length), 0);
    }
}

void ScriptServer::run()
{
    do {
        if (!wait_readable(listener_, stop_))
            return;
        SOCKET connection = accept(listener_, nullptr, nullptr);
        if (connection == INVALID_SOCKET)
            return;
        ++connections_;
        serve(connection);
    } while (every_connection_);
}

void ScriptServer::serve(SOCKET connection)
{
    bool open = true;
    for (size_t i = 0; i < steps_.size() && open; ++i) {
        if (i > 0 && !read_line(connection)) {
            open = false;
            break;
        }
        const ScriptStep& step = steps_[i];
        if (step.end == StepEnd::uidl) {
            answer_uidl(connection, strtol(step.reply.c_str(), nullptr, 10));
            open = false;
            break;
        }
        send_reply(connection, step);
        switch (step.end) {
        case StepEnd::uidl:
        case StepEnd::next:
            break;
        case StepEnd::close:
            shutdown(connection, SD_SEND);
            drain(connection);
            open = false;
            break;
        case StepEnd::hang:
            drain(connection);
            open = false;
            break;
        case StepEnd::stream:
            stream(connection, step);
            open = false;
            break;
        case StepEnd::reset: {
            linger abort_now = {1, 0};
            setsockopt(connection, SOL_SOCKET, SO_LINGER,
                       reinterpret_cast<const char*>(&abort_now), sizeof abort_now);
            closesocket(connection);
            return;
        }
        }
    }
    if (open)
        drain(connection);
    closesocket(connection);
}

// The command just read is answered, then every later one, until the client closes.
void ScriptServer::answer_uidl(SOCKET connection, long count)
{
    do {
        const size_t end = received_.size() - 1, begin = received_.rfind('\n', end - 1);
        std::string command = received_.substr(begin == std::string::npos ? 0 : begin + 1);
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r'))
            command.pop_back();
        std::string answer = "-ERR no such message\r\n";
        if (command == "UIDL" && count <= 100000) {
            answer = "+OK\r\n";
            for (long n = 1; n <= count; ++n)
                answer += std::to_string(n) + " id-" + std::to_string(n) + "\r\n";
            answer += ".\r\n";
        } else if (command.rfind("UIDL ", 0) == 0) {
            const long n = strtol(command.c_str() + 5, nullptr, 10);
            if (n >= 1 && n <= count)
                answer = "+OK " + std::to_string(n) + " id-" + std::to_string(n) + "\r\n";
        }
        send(connection, answer.data(), static_cast<int>(answer.size()), 0);
    } while (read_line(connection));
}

std::vector<ScriptStep> mailbox(const char* stat_reply)
{
    std::vector<ScriptStep> steps = {reply("+OK\r\n"), reply("+OK\r\n"), reply("+OK\r\n"), reply(std::string(stat_reply))};
    const int32_t count = stat_message_count(stat_reply);
    if (count > 0)   // the messages' ids, asked after STAT
        steps.push_back(ScriptStep{std::to_string(count), StepEnd::uidl});
    return steps;
}

std::string mailbox_exchange(const char* account, const char* password, int32_t count)
{
    return std::string("USER ") + account + "\r\nPASS " + password + "\r\nSTAT\r\n"
        + (count > 0 ? "UIDL " + std::to_string(count) + "\r\n" : "");
}
