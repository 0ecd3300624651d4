#include "mailcheck/connection/connection.h"

#include <ws2tcpip.h>

#include <string.h>

#include "mailcheck/connection/mail_channel.h"

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
// A reply must be whole by this time, never later than the check's end: a
// server that drips bytes without a line end would otherwise hold the
// program in recv for good.
DWORD reply_deadline;
sockaddr_storage connected;   // the address that answered
bool only_unreachable;        // no address answered at all, not even with a refusal
sockaddr_storage parked_address;   // the push connection's, while it waits
// The connection's state is the process's one: a check and the push
// connection take turns on it. The room is held from the open to the
// close, and by the push connection except while it waits parked.
SRWLOCK room = SRWLOCK_INIT;
DWORD room_owner;   // the thread that holds it, 0 for none

void room_enter()
{
    if (room_owner != GetCurrentThreadId()) {
        AcquireSRWLockExclusive(&room);
        room_owner = GetCurrentThreadId();
    }
}

void room_leave()
{
    if (room_owner == GetCurrentThreadId()) {
        room_owner = 0;
        ReleaseSRWLockExclusive(&room);
    }
}

void start_reply_clock() { reply_deadline = bounded_deadline(mail_reply_time_ms); }

// An attempt's address as it is connected: an IPv4-mapped IPv6 address
// (::ffff:a.b.c.d) as the IPv4 address it names, since Windows's IPv6
// sockets are IPv6-only and could never reach it.
int attempt_address(const addrinfo* address, sockaddr_storage* out)
{
    memset(out, 0, sizeof *out);
    const sockaddr_in6* six = reinterpret_cast<const sockaddr_in6*>(address->ai_addr);
    if (address->ai_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) {
        sockaddr_in* four = reinterpret_cast<sockaddr_in*>(out);
        four->sin_family = AF_INET;
        four->sin_port = six->sin6_port;
        memcpy(&four->sin_addr, &six->sin6_addr.s6_addr[12], 4);
        return sizeof *four;
    }
    memcpy(out, address->ai_addr, address->ai_addrlen);
    return static_cast<int>(address->ai_addrlen);
}

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

// Starts one non-blocking connect to *address. 1 when it is on its way (or
// done at once: *done), 0 when it failed at once.
int start_attempt(const sockaddr_storage* address, int length, SOCKET* out, bool* done, bool* made_socket)
{
    SOCKET s = socket(address->ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        note_failure("socket", static_cast<unsigned long>(WSAGetLastError()));
        return 0;
    }
    *made_socket = true;
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    *done = connect(s, reinterpret_cast<const sockaddr*>(address), length) == 0;
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
    sockaddr_storage addresses[MAX_ADDRESSES];
    int lengths[MAX_ADDRESSES];
    for (int i = 0; i < count; ++i)
        lengths[i] = attempt_address(order[i], &addresses[i]);
    SOCKET pending[MAX_ADDRESSES];
    int pending_index[MAX_ADDRESSES];   // which address each pending socket tries
    int waiting = 0, next = 0, winner_index = -1;
    bool made_socket = false;
    DWORD last_start = 0;
    SOCKET winner = INVALID_SOCKET;
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
            const int index = next++;
            if (start_attempt(&addresses[index], lengths[index], &pending[waiting], &done, &made_socket)) {
                pending_index[waiting] = index;
                if (done) {
                    winner = pending[waiting];
                    winner_index = index;
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
        const int ready = select(0, nullptr, &writable, &failed, &time);
        if (ready < 0) {
            // Asking again would fail the same way until the deadline.
            note_failure("select", static_cast<unsigned long>(WSAGetLastError()));
            only_unreachable = false;
            break;
        }
        if (ready == 0)
            continue;
        for (int i = 0; i < waiting && winner == INVALID_SOCKET;) {
            if (FD_ISSET(pending[i], &failed)) {
                // The socket's pending error says why.
                int error = 0, length = sizeof error;
                getsockopt(pending[i], SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
                attempt_failed(static_cast<unsigned long>(error));
                last_start = GetTickCount() - NEXT_ATTEMPT_MS;
                closesocket(pending[i]);
                --waiting;
                pending[i] = pending[waiting];
                pending_index[i] = pending_index[waiting];
            } else if (FD_ISSET(pending[i], &writable)) {
                winner = pending[i];
                winner_index = pending_index[i];
                --waiting;
                pending[i] = pending[waiting];
                pending_index[i] = pending_index[waiting];
            } else {
                ++i;
            }
        }
    }
    close_all(pending, waiting);
    if (winner == INVALID_SOCKET)
        return !made_socket ? Reach::socket_failed : only_unreachable ? Reach::unreachable : Reach::connect_failed;
    socket_take(winner);
    connected = addresses[winner_index];
    note_server(reinterpret_cast<const sockaddr*>(&connected), lengths[winner_index]);
    return Reach::connected;
}

// More bytes into the receive buffer once it is empty; 0 when none came.
int refill()
{
    if (receive_begin != receive_end)
        return 1;
    int received = channel_receive(receive_buffer, sizeof receive_buffer, reply_deadline);
    if (received <= 0)
        return 0;
    receive_begin = 0;
    receive_end = received;
    return 1;
}

} // namespace

Reach connection_open(const char* host, uint16_t port)
{
    room_enter();
    only_unreachable = true;
    char service[8];
    wsprintfA(service, "%u", static_cast<unsigned>(port));
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    int error = getaddrinfo(host, service, &hints, &list);
    in_addr loose;
    if (error != 0 && (loose.s_addr = inet_addr(host)) != INADDR_NONE) {
        // What the older lookup took too: an address in inet_addr's looser
        // forms (127.1, 0x7f.0.0.1).
        error = getaddrinfo(inet_ntoa(loose), service, &hints, &list);
    }
    if (error != 0 || list == nullptr) {
        note_failure("resolve", static_cast<unsigned long>(error));
        return Reach::lookup_failed;
    }
    start_check_clock(mail_check_time_ms);
    Reach reach = connect_any(list, bounded_deadline(mail_reply_time_ms));
    freeaddrinfo(list);
    if (reach != Reach::connected)
        return reach;
    note_failure(nullptr, 0);   // an address that failed before another answered is no failure
    receive_begin = receive_end = 0;
    channel_reset();
    start_reply_clock();   // for the greeting
    return Reach::connected;
}

void connection_close()
{
    // A thread without the room has nothing open: the state is another's.
    if (room_owner != GetCurrentThreadId())
        return;
    channel_close();
    socket_close();
    room_leave();
}

SOCKET connection_park()
{
    const SOCKET s = mail_socket;
    parked_address = connected;
    channel_park();
    mail_socket = INVALID_SOCKET;
    room_leave();
    return s;
}

void connection_unpark(SOCKET s)
{
    room_enter();
    connected = parked_address;
    channel_unpark();
    socket_take(s);
    receive_begin = receive_end = 0;
    note_server(reinterpret_cast<const sockaddr*>(&connected),
                connected.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
}

TlsFailure connection_start_tls(const char* name)
{
    start_reply_clock();
    TlsFailure failure = channel_start_tls(name, reinterpret_cast<const sockaddr*>(&connected), reply_deadline);
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
        if (reply_line_too_long(line) || !refill())
            return 0;
        receive_begin += static_cast<int>(reply_line_feed(
            line, receive_buffer + receive_begin, static_cast<size_t>(receive_end - receive_begin)));
    }
    return 1;
}

int connection_read_bytes(char* out, size_t size)
{
    for (size_t got = 0; got < size;) {
        if (!refill())
            return 0;
        size_t take = static_cast<size_t>(receive_end - receive_begin);
        if (take > size - got)
            take = size - got;
        memcpy(out + got, receive_buffer + receive_begin, take);
        receive_begin += static_cast<int>(take);
        got += take;
    }
    return 1;
}

int connection_unread() { return receive_end - receive_begin + channel_unread(); }

void connection_allow(DWORD time)
{
    start_check_clock(time);
    reply_deadline = bounded_deadline(time);
}

TlsFailure connection_tls_failure() { return channel_failure(); }
