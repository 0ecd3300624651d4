// Check latency: check_mailbox beside a minimal client that makes the same
// four-reply exchange with plain Winsock calls, alternating in one run, so
// that what the program adds over the network's own cost shows.
// Usage: check_bench DOVECOT_ADDRESS [CHECKS]
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mailcheck/mail_check.h"
#include "settings/user_settings.h"
#include "tests/support/pop3_script_server.h"

namespace {

const char* const SCRIPTED = "127.0.0.22";

// One connection's received bytes: a reply ends at its LF, and what came
// after it is the start of the next one.
struct Lines {
    SOCKET s;
    char buffer[512];
    int begin = 0, end = 0;

    // False unless a whole "+" reply arrived.
    bool read_ok()
    {
        bool first = true, positive = false;
        for (;;) {
            if (begin == end) {
                end = recv(s, buffer, sizeof buffer, 0);
                begin = 0;
                if (end <= 0)
                    return false;
            }
            char c = buffer[begin++];
            if (first)
                positive = c == '+';
            first = false;
            if (c == '\n')
                return positive;
        }
    }
};

bool minimal_check(const char* address)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(110);
    to.sin_addr.s_addr = inet_addr(address);
    Lines lines{s, {}};
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 && lines.read_ok();
    const std::string commands[] = {std::string("USER ") + user_settings.account + "\r\n",
                                    std::string("PASS ") + user_settings.password + "\r\n",
                                    "STAT\r\n"};
    for (const std::string& command : commands) {
        ok = ok && send(s, command.data(), static_cast<int>(command.size()), 0) > 0 && lines.read_ok();
    }
    closesocket(s);
    return ok;
}

double now_ms()
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Figures {
    double median;
    double p95;
};

Figures figures(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[(samples.size() * 95 + 99) / 100 - 1]};
}

// Runs both clients `checks` times each, alternating which goes first;
// `before` prepares the server for one check (outside the timed part).
bool compare(const char* title, const char* address, int checks,
             const std::function<std::shared_ptr<void>()>& before)
{
    strcpy(user_settings.pop_server, address);
    std::vector<double> program, minimal;
    int failures = 0;
    for (int i = 0; i < checks; ++i) {
        for (int turn = 0; turn < 2; ++turn) {
            bool program_turn = (i + turn) % 2 == 0;
            std::shared_ptr<void> server = before();
            double start = now_ms();
            bool ok = program_turn ? check_mailbox(nullptr) == 1 : minimal_check(address);
            double took = now_ms() - start;
            if (!ok)
                ++failures;
            (program_turn ? program : minimal).push_back(took);
        }
    }
    Figures p = figures(program), m = figures(minimal);
    printf("%-34s quillbeam median %7.3f ms  p95 %7.3f ms | minimal median %7.3f ms  p95 %7.3f ms"
           " | ratio %.2f\n",
           title, p.median, p.p95, m.median, m.p95, p.median / m.median);
    if (failures != 0)
        printf("  %d checks failed\n", failures);
    return failures == 0;
}

std::shared_ptr<void> scripted(int delay_ms)
{
    std::vector<ScriptStep> steps = {ScriptStep{"+OK ready\r\n"}, ScriptStep{"+OK\r\n"},
                                     ScriptStep{"+OK Logged in.\r\n"}, ScriptStep{"+OK 3 1234\r\n"}};
    for (ScriptStep& step : steps)
        step.piece_delay_ms = delay_ms;
    return std::make_shared<ScriptServer>(SCRIPTED, steps);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: check_bench DOVECOT_ADDRESS [CHECKS]\n");
        return 2;
    }
    const int checks = argc > 2 ? atoi(argv[2]) : 500;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    strcpy(user_settings.account, "poptest");
    strcpy(user_settings.password, "Secr3t");
    strcpy(user_settings.check_time, "300");
    user_settings.sound_on = 0;

    printf("%d checks each, alternating\n", checks);
    auto nothing = [] { return std::shared_ptr<void>(); };
    bool ok = compare("Dovecot on loopback", argv[1], checks, nothing);
    ok = compare("scripted server, no delay", SCRIPTED, checks, [] { return scripted(0); }) && ok;
    ok = compare("scripted server, 20 ms per reply", SCRIPTED, checks, [] { return scripted(20); }) && ok;
    WSACleanup();
    return ok ? 0 : 1;
}
