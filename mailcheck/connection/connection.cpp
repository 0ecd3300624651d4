#include "mailcheck/connection/connection.h"

#include <ws2tcpip.h>

#include <string.h>

#include "mailcheck/connection/mail_channel.h"

SOCKET mail_socket = INVALID_SOCKET;
DWORD mail_reply_time_ms = 30000;
DWORD mail_check_time_ms = 60000;

namespace {

// Addresses of one name tried at most; a real name has a handful.
constexpr int MAX_ADDRESSES = 16;
// A new attempt starts this long after the one before while none has
// connected (RFC 8305): a dead IPv6 path costs a quarter second, not the
// whole connect time.
constexpr DWORD NEXT_ATTEMPT_MS = 250;

// Received bytes not yet taken by a line: a line is complete only at its
// LF, and whatever came after it belongs to the next one.
char receive_buffer[REPLY_BUFFER_SIZE - 1];
int receive_begin;
int receive_end;
// The whole check ends by check_deadline; a reply must be whole by
// reply_deadline, which is never later: a server that drips bytes without
// a line end would otherwise hold the program in recv for good.
DWORD check_deadline;
DWORD reply_deadline;
sockaddr_storage connected;   // the address that answered
bool have_connected;
bool only_unreachable;        // no address answered at all, not even with a refusal
// The failed step and the system's code, for the support line.
const char* failed_step;
unsigned long failed_code;

// Now plus `time`, but no later than the end of the whole check.
DWORD bounded_deadline(DWORD time)
{
    DWORD deadline = GetTickCount() + time;
    return static_cast<LONG>(deadline - check_deadline) > 0 ? check_deadline : deadline;
}

void start_reply_clock() { reply_deadline = bounded_deadline(mail_reply_time_ms); }

// The order Windows gave (RFC 6724), the two families taking turns from the
// first one's first address on (RFC 8305).
int interleave(const addrinfo* list, const addrinfo** out)
{
    const addrinfo* next[2] = {list, list};
    const int first_family = list->ai_family;
    int count = 0;
    for (int turn = 0; count < MAX_ADDRESSES; turn ^= 1) {
        const addrinfo*& p = next[turn];
        while (p != nullptr && (p->ai_family == first_family) != (turn == 0))
            p = p->ai_next;
        if (p == nullptr && next[turn ^ 1] == nullptr)
            break;
        if (p != nullptr) {
            out[count++] = p;
            p = p->ai_next;
        }
    }
    return count;
}

// One attempt failed: the line says why, and whether the path or the
// server said no.
void attempt_failed(unsigned long code)
{
    note_failure("connect", code);
    if (code != WSAENETDOWN && code != WSAENETUNREACH && code != WSAEHOSTUNREACH && code != WSAETIMEDOUT
        && code != WSAEADDRNOTAVAIL)
        only_unreachable = false;
}

void close_all(SOCKET* sockets, int count)
{
    for (int i = 0; i < count; ++i)
        closesocket(sockets[i]);
}

// Starts one non-blocking connect. 1 when it is on its way (or done at
// once: *done), 0 when it failed at once.
int start_attempt(const addrinfo* address, SOCKET* out, bool* done, bool* made_socket)
{
    SOCKET s = socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        note_failure("socket", static_cast<unsigned long>(WSAGetLastError()));
        return 0;
    }
    *made_socket = true;
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    *done = connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0;
    if (!*done && WSAGetLastError() != WSAEWOULDBLOCK) {
        attempt_failed(static_cast<unsigned long>(WSAGetLastError()));
        closesocket(s);
        return 0;
    }
    *out = s;
    return 1;
}

// The addresses side by side: each new attempt 250 ms after the one
// before, or at once when the one before failed; the first to connect wins
// and the others are closed. All by the deadline.
Reach connect_any(const addrinfo* list, DWORD deadline)
{
    const addrinfo* order[MAX_ADDRESSES];
    const int count = interleave(list, order);
    SOCKET pending[MAX_ADDRESSES];
    const addrinfo* pending_address[MAX_ADDRESSES];
    int waiting = 0, next = 0;
    bool made_socket = false;
    DWORD last_start = 0;
    SOCKET winner = INVALID_SOCKET;
    const addrinfo* winner_address = nullptr;
    while (winner == INVALID_SOCKET) {
        const DWORD now = GetTickCount();
        const LONG left = static_cast<LONG>(deadline - now);
        if (left <= 0) {
            attempt_failed(WSAETIMEDOUT);
            break;
        }
        if (next < count && (waiting == 0 || now - last_start >= NEXT_ATTEMPT_MS)) {
            bool done = false;
            last_start = now;
            const addrinfo* address = order[next++];
            if (start_attempt(address, &pending[waiting], &done, &made_socket)) {
                pending_address[waiting] = address;
                if (done) {
                    winner = pending[waiting];
                    winner_address = address;
                    break;
                }
                ++waiting;
            } else {
                last_start = now - NEXT_ATTEMPT_MS;   // a failure starts the next one at once
            }
            continue;
        }
        if (waiting == 0)
            break;   // every address failed at once
        DWORD wait = static_cast<DWORD>(left);
        if (next < count && NEXT_ATTEMPT_MS - (now - last_start) < wait)
            wait = NEXT_ATTEMPT_MS - (now - last_start);
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (int i = 0; i < waiting; ++i) {
            FD_SET(pending[i], &writable);
            FD_SET(pending[i], &failed);
        }
        timeval time = {static_cast<long>(wait / 1000), static_cast<long>(wait % 1000) * 1000};
        if (select(0, nullptr, &writable, &failed, &time) <= 0)
            continue;
        for (int i = 0; i < waiting && winner == INVALID_SOCKET;) {
            if (FD_ISSET(pending[i], &failed)) {
                // The socket's pending error says why.
                int error = 0, length = sizeof error;
                getsockopt(pending[i], SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
                attempt_failed(static_cast<unsigned long>(error));
                last_start = GetTickCount() - NEXT_ATTEMPT_MS;
                closesocket(pending[i]);
                pending[i] = pending[--waiting];
                pending_address[i] = pending_address[waiting];
            } else if (FD_ISSET(pending[i], &writable)) {
                winner = pending[i];
                winner_address = pending_address[i];
                pending[i] = pending[--waiting];
            } else {
                ++i;
            }
        }
    }
    close_all(pending, waiting);
    if (winner == INVALID_SOCKET)
        return !made_socket ? Reach::socket_failed : only_unreachable ? Reach::unreachable : Reach::connect_failed;
    u_long blocking = 0;
    ioctlsocket(winner, FIONBIO, &blocking);
    mail_socket = winner;
    memset(&connected, 0, sizeof connected);
    memcpy(&connected, winner_address->ai_addr, winner_address->ai_addrlen);
    have_connected = true;
    return Reach::connected;
}

} // namespace

Reach connection_open(const ServerAddress& server)
{
    have_connected = false;
    only_unreachable = true;
    char port[8];
    wsprintfA(port, "%u", static_cast<unsigned>(server.port));
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    int error = getaddrinfo(server.host, port, &hints, &list);
    in_addr loose;
    if (error != 0 && (loose.s_addr = inet_addr(server.host)) != INADDR_NONE) {
        // What the older lookup took too: an address in inet_addr's looser
        // forms (127.1, 0x7f.0.0.1).
        error = getaddrinfo(inet_ntoa(loose), port, &hints, &list);
    }
    if (error != 0 || list == nullptr) {
        note_failure("resolve", static_cast<unsigned long>(error));
        return Reach::lookup_failed;
    }
    check_deadline = GetTickCount() + mail_check_time_ms;
    Reach reach = connect_any(list, bounded_deadline(mail_reply_time_ms));
    freeaddrinfo(list);
    if (reach != Reach::connected)
        return reach;
    note_failure(nullptr, 0);   // an address that failed before another answered is no failure
    receive_begin = receive_end = 0;
    setsockopt(mail_socket, SOL_SOCKET, SO_RCVTIMEO,
               reinterpret_cast<const char*>(&mail_reply_time_ms), sizeof mail_reply_time_ms);
    setsockopt(mail_socket, SOL_SOCKET, SO_SNDTIMEO,
               reinterpret_cast<const char*>(&mail_reply_time_ms), sizeof mail_reply_time_ms);
    channel_reset(mail_reply_time_ms);
    start_reply_clock();   // for the greeting
    return Reach::connected;
}

void connection_close()
{
    channel_close();
    if (mail_socket != INVALID_SOCKET) {
        closesocket(mail_socket);
        mail_socket = INVALID_SOCKET;
    }
}

TlsFailure connection_start_tls(const ServerAddress& server)
{
    start_reply_clock();
    TlsFailure failure = channel_start_tls(server.literal ? nullptr : server.name,
                                           reinterpret_cast<const sockaddr*>(&connected), reply_deadline);
    start_reply_clock();   // for the reply that follows
    return failure;
}

int connection_send(const char* data, int length)
{
    if (!channel_send(data, length))
        return 0;
    start_reply_clock();
    return 1;
}

int connection_read_line(ReplyLine* line)
{
    reply_line_reset(line);
    while (!line->complete) {
        if (reply_line_too_long(line))
            return 0;
        if (receive_begin == receive_end) {
            int received = channel_receive(receive_buffer, sizeof receive_buffer, reply_deadline);
            if (received <= 0)
                return 0;
            receive_begin = 0;
            receive_end = received;
        }
        receive_begin += static_cast<int>(reply_line_feed(
            line, receive_buffer + receive_begin, static_cast<size_t>(receive_end - receive_begin)));
    }
    return 1;
}

int connection_unread() { return receive_end - receive_begin; }

TlsFailure connection_tls_failure() { return channel_failure(); }

void note_failure(const char* step, unsigned long code)
{
    failed_step = step;
    failed_code = code;
}

void write_support_line(const char* remark)
{
    char line[192];
    int length = wsprintfA(line, "Quillbeam: check failed at %s, code 0x%08lX",
                           failed_step != nullptr ? failed_step : "the server's reply", failed_code);
    char address[64];
    DWORD size = sizeof address;
    if (have_connected
        && WSAAddressToStringA(reinterpret_cast<sockaddr*>(&connected),
                               connected.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in),
                               nullptr, address, &size) == 0)
        length += wsprintfA(line + length, ", server %s", address);
    if (remark != nullptr)
        length += wsprintfA(line + length, ", %s", remark);
    lstrcpyA(line + length, "\n");
    OutputDebugStringA(line);
}
