#include "mailcheck/connection/connection.h"

#include <ws2tcpip.h>
#include <mstcpip.h>

#include <string.h>


namespace {

// Addresses of one name tried at most; a real name has a handful.
constexpr int MAX_ADDRESSES = 16;
// A new attempt starts this long after the one before while none has
// connected (RFC 8305): a dead IPv6 path costs a quarter second, not the
// whole connect time.
constexpr DWORD NEXT_ATTEMPT_MS = 250;

void start_reply_clock(Connection* c) { c->reply_deadline = bounded_deadline(&c->channel.socket, mail_reply_time_ms); }

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
void attempt_failed(Connection* c, unsigned long code)
{
    note_failure(connection_support(c), "connect", code);
    if (code != WSAENETDOWN && code != WSAENETUNREACH && code != WSAEHOSTUNREACH && code != WSAETIMEDOUT
        && code != WSAEADDRNOTAVAIL)
        c->only_unreachable = false;
}

void close_all(SOCKET* sockets, int count)
{
    for (int i = 0; i < count; ++i)
        closesocket(sockets[i]);
}

// Starts one non-blocking connect to *address. 1 when it is on its way (or
// done at once: *done), 0 when it failed at once.
int start_attempt(Connection* c, const sockaddr_storage* address, int length, SOCKET* out, bool* done, bool* made_socket)
{
    SOCKET s = socket(address->ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        note_failure(connection_support(c), "socket", static_cast<unsigned long>(WSAGetLastError()));
        return 0;
    }
    *made_socket = true;
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    *done = connect(s, reinterpret_cast<const sockaddr*>(address), length) == 0;
    if (!*done && WSAGetLastError() != WSAEWOULDBLOCK) {
        attempt_failed(c, static_cast<unsigned long>(WSAGetLastError()));
        closesocket(s);
        return 0;
    }
    *out = s;
    return 1;
}

// The addresses side by side: each new attempt 250 ms after the one
// before, or at once when the one before failed; the first to connect wins
// and the others are closed. All by the deadline.
Reach connect_any(Connection* c, const addrinfo* list, DWORD deadline)
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
            attempt_failed(c, WSAETIMEDOUT);
            break;
        }
        if (next < count && (waiting == 0 || now - last_start >= NEXT_ATTEMPT_MS)) {
            bool done = false;
            last_start = now;
            const int index = next++;
            if (start_attempt(c, &addresses[index], lengths[index], &pending[waiting], &done, &made_socket)) {
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
            note_failure(connection_support(c), "select", static_cast<unsigned long>(WSAGetLastError()));
            c->only_unreachable = false;
            break;
        }
        if (ready == 0)
            continue;
        for (int i = 0; i < waiting && winner == INVALID_SOCKET;) {
            if (FD_ISSET(pending[i], &failed)) {
                // The socket's pending error says why.
                int error = 0, length = sizeof error;
                getsockopt(pending[i], SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
                attempt_failed(c, static_cast<unsigned long>(error));
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
        return !made_socket ? Reach::socket_failed : c->only_unreachable ? Reach::unreachable : Reach::connect_failed;
    socket_take(&c->channel.socket, winner);
    c->connected = addresses[winner_index];
    note_server(connection_support(c), reinterpret_cast<const sockaddr*>(&c->connected), lengths[winner_index]);
    return Reach::connected;
}

// A name lookup on a resolver thread, waited for no longer than the check
// allows: Windows's resolver takes tens of seconds when a DNS server never
// answers. A lookup whose wait ended finishes by itself and frees what it
// found; it never touches a connection. The threads are kept: making one
// costs more than the lookup of an address.
struct Lookup {
    LONG holders;   // 0: free; else the thread while it resolves, and the waiter while it waits
    HANDLE thread;  // made at the slot's first lookup, then kept, as are its events
    HANDLE work;    // auto reset: a lookup to make
    HANDLE done;    // auto reset: it is made
    char host[256];
    char service[8];
    addrinfo* list;
    int error;
};
// Lookups that may still run at once: the check's, the push connection's,
// and ones left to finish behind them.
Lookup lookups[4];

void release(Lookup* l)
{
    if (InterlockedDecrement(&l->holders) == 0 && l->list != nullptr) {
        freeaddrinfo(l->list);
        l->list = nullptr;
    }
}

// Not folded into the thread's loop: the system's lookup is then called
// anew each time, as a double of it in the tests must see it.
__attribute__((noinline)) void resolve(Lookup* l)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    l->error = getaddrinfo(l->host, l->service, &hints, &l->list);
    in_addr loose;
    if (l->error != 0 && (loose.s_addr = inet_addr(l->host)) != INADDR_NONE) {
        // What the older lookup took too: an address in inet_addr's looser
        // forms (127.1, 0x7f.0.0.1).
        l->error = getaddrinfo(inet_ntoa(loose), l->service, &hints, &l->list);
    }
}

DWORD WINAPI resolver(void* parameter)
{
    Lookup* l = static_cast<Lookup*>(parameter);
    for (;;) {
        WaitForSingleObject(l->work, INFINITE);
        resolve(l);
        SetEvent(l->done);
        release(l);
    }
}

// host's addresses into *list (the caller frees it), by deadline: 0, or
// the resolver's error (WSAETIMEDOUT when the wait ran out).
int look_up(const char* host, const char* service, DWORD deadline, addrinfo** list)
{
    *list = nullptr;
    Lookup* l = nullptr;
    for (Lookup& candidate : lookups)
        if (l == nullptr && InterlockedCompareExchange(&candidate.holders, 2, 0) == 0)
            l = &candidate;
    if (l == nullptr)
        return WSATRY_AGAIN;   // four still hang: this one would too
    if (l->thread == nullptr) {   // what was made of it is kept for the next try
        if (l->work == nullptr)
            l->work = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (l->done == nullptr)
            l->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (l->work != nullptr && l->done != nullptr)
            l->thread = CreateThread(nullptr, 0, resolver, l, 0, nullptr);
        if (l->thread == nullptr) {
            InterlockedExchange(&l->holders, 0);
            return WSATRY_AGAIN;
        }
    }
    lstrcpynA(l->host, host, sizeof l->host);
    lstrcpynA(l->service, service, sizeof l->service);
    l->list = nullptr;
    l->error = WSATRY_AGAIN;
    ResetEvent(l->done);   // said for a lookup whose wait had ended
    SetEvent(l->work);
    const LONG left = static_cast<LONG>(deadline - GetTickCount());
    if (WaitForSingleObject(l->done, left > 0 ? static_cast<DWORD>(left) : 0) != WAIT_OBJECT_0) {
        release(l);   // the thread frees what it finds
        return WSAETIMEDOUT;
    }
    // The thread lets go just after it said done: the slot is free again
    // once it has, so the next lookup takes this same one.
    while (InterlockedCompareExchange(&l->holders, 0, 0) > 1)
        Sleep(0);
    const int error = l->error;
    *list = l->list;
    l->list = nullptr;
    release(l);
    return error;
}

// More bytes into the receive buffer once it is empty; 0 when none came.
int refill(Connection* c)
{
    if (c->receive_begin != c->receive_end)
        return 1;
    int received = channel_receive(&c->channel, c->receive_buffer, sizeof c->receive_buffer, c->reply_deadline);
    if (received <= 0)
        return 0;
    c->receive_begin = 0;
    c->receive_end = received;
    return 1;
}

} // namespace

Reach connection_open(Connection* c, const char* host, uint16_t port)
{
    connection_close(c);
    c->only_unreachable = true;
    char service[8];
    wsprintfA(service, "%u", static_cast<unsigned>(port));
    // The whole check's clock runs from the lookup on.
    start_check_clock(&c->channel.socket, mail_check_time_ms);
    addrinfo* list = nullptr;
    const int error = look_up(host, service, bounded_deadline(&c->channel.socket, mail_reply_time_ms), &list);
    if (error != 0 || list == nullptr) {
        if (list != nullptr)
            freeaddrinfo(list);
        note_failure(connection_support(c), "resolve", static_cast<unsigned long>(error));
        return Reach::lookup_failed;
    }
    Reach reach = connect_any(c, list, bounded_deadline(&c->channel.socket, mail_reply_time_ms));
    freeaddrinfo(list);
    if (reach != Reach::connected)
        return reach;
    note_failure(connection_support(c), nullptr, 0);   // an address that failed before another answered is no failure
    c->receive_begin = c->receive_end = 0;
    channel_reset(&c->channel);
    start_reply_clock(c);   // for the greeting
    return Reach::connected;
}

void connection_close(Connection* c)
{
    channel_close(&c->channel);
    socket_close(&c->channel.socket);
}

bool connection_is_open(const Connection* c) { return c->channel.socket.open; }

TlsFailure connection_start_tls(Connection* c, const char* name)
{
    start_reply_clock(c);
    TlsFailure failure = channel_start_tls(&c->channel, name, reinterpret_cast<const sockaddr*>(&c->connected),
                                           c->reply_deadline);
    start_reply_clock(c);   // for the reply that follows
    return failure;
}

int connection_send(Connection* c, const char* data, int length)
{
    if (!channel_send(&c->channel, data, length))
        return 0;
    start_reply_clock(c);
    return 1;
}

int connection_read_line(Connection* c, ReplyLine* line, const char* watch)
{
    reply_line_reset(line, watch);
    while (!line->complete) {
        if (reply_line_too_long(line) || !refill(c))
            return 0;
        c->receive_begin += static_cast<int>(reply_line_feed(
            line, c->receive_buffer + c->receive_begin, static_cast<size_t>(c->receive_end - c->receive_begin)));
    }
    return 1;
}

int connection_read_bytes(Connection* c, char* out, size_t size)
{
    for (size_t got = 0; got < size;) {
        if (!refill(c))
            return 0;
        size_t take = static_cast<size_t>(c->receive_end - c->receive_begin);
        if (take > size - got)
            take = size - got;
        if (out != nullptr)
            memcpy(out + got, c->receive_buffer + c->receive_begin, take);
        c->receive_begin += static_cast<int>(take);
        got += take;
    }
    return 1;
}

bool connection_settle(Connection* c)
{
    if (c->receive_begin != c->receive_end)
        return true;
    const int received = channel_receive(&c->channel, c->receive_buffer, sizeof c->receive_buffer, c->reply_deadline,
                                         false);
    if (received < 0)
        return false;
    c->receive_begin = 0;
    c->receive_end = received;   // 0: the end of the connection, which the next read says
    return true;
}

int connection_unread(const Connection* c) { return c->receive_end - c->receive_begin + channel_unread(&c->channel); }

void connection_allow(Connection* c, DWORD time)
{
    start_check_clock(&c->channel.socket, time);
    c->reply_deadline = bounded_deadline(&c->channel.socket, time);
}

TlsFailure connection_tls_failure(const Connection* c) { return c->channel.failure; }

DWORD connection_wait(Connection* c, HANDLE socket_event, const HANDLE* events, DWORD count, DWORD time)
{
    if (connection_unread(c) != 0)
        return count;   // already received: the socket will not signal it again
    const SOCKET s = c->channel.socket.handle;
    HANDLE all[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i)
        all[i] = events[i];
    all[count] = socket_event;
    // A signal left from bytes already read would wake it for nothing.
    ResetEvent(socket_event);
    WSAEventSelect(s, socket_event, FD_READ | FD_CLOSE);
    const DWORD woke = WaitForMultipleObjects(count + 1, all, FALSE, time);
    // Back to a blocking socket, as every other read expects.
    WSAEventSelect(s, nullptr, 0);
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
    if (woke == WAIT_TIMEOUT)
        return WAIT_TIMEOUT;
    return woke - WAIT_OBJECT_0 <= count ? woke - WAIT_OBJECT_0 : 0;   // a failed wait as the first event
}

void connection_keep_alive(Connection* c, DWORD idle_ms, DWORD probe_ms)
{
    tcp_keepalive values = {1, idle_ms, probe_ms};
    DWORD returned = 0;
    if (WSAIoctl(c->channel.socket.handle, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                 nullptr, nullptr) != 0)
        note_failure(connection_support(c), "keep-alive", static_cast<unsigned long>(WSAGetLastError()));
}
