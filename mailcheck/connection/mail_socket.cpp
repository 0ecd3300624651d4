#include "mailcheck/connection/mail_socket.h"

DWORD mail_reply_time_ms = 30000;
DWORD mail_check_time_ms = 60000;

void start_check_clock(MailSocket* socket, DWORD time) { socket->check_deadline = GetTickCount() + time; }

DWORD bounded_deadline(const MailSocket* socket, DWORD time)
{
    DWORD deadline = GetTickCount() + time;
    return static_cast<LONG>(deadline - socket->check_deadline) > 0 ? socket->check_deadline : deadline;
}

bool past(DWORD deadline) { return static_cast<LONG>(deadline - GetTickCount()) <= 0; }

void socket_take(MailSocket* socket, SOCKET s)
{
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
    socket->handle = s;
    socket->open = true;
    socket->receive_timeout = mail_reply_time_ms;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&socket->receive_timeout),
               sizeof socket->receive_timeout);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&socket->receive_timeout),
               sizeof socket->receive_timeout);
}

// A peer that drips bytes cannot stretch a reply. The time-out is set anew
// only when it is more than a second off, so most replies cost no call
// beyond their recv.
int socket_receive(MailSocket* socket, char* out, int size, DWORD deadline)
{
    const LONG slack = 1000;
    LONG left = static_cast<LONG>(deadline - GetTickCount());
    if (!socket->open || left <= 0) {
        note_failure(&socket->support, "receive", socket->open ? WSAETIMEDOUT : WSAENOTSOCK);
        return 0;
    }
    LONG current = static_cast<LONG>(socket->receive_timeout);
    if (current > left + slack || current + slack < left) {
        socket->receive_timeout = static_cast<DWORD>(left);
        setsockopt(socket->handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&socket->receive_timeout),
                   sizeof socket->receive_timeout);
    }
    int got = recv(socket->handle, out, size, 0);
    if (got <= 0)
        note_failure(&socket->support, "receive", got == 0 ? 0 : static_cast<unsigned long>(WSAGetLastError()));
    return got;
}

int socket_send(MailSocket* socket, const char* data, int length)
{
    // A closed socket's handle may already be another connection's.
    if (!socket->open) {
        note_failure(&socket->support, "send", WSAENOTSOCK);
        return 0;
    }
    for (int sent = 0; sent < length;) {
        int result = send(socket->handle, data + sent, length - sent, 0);
        if (result <= 0) {
            note_failure(&socket->support, "send", static_cast<unsigned long>(WSAGetLastError()));
            return 0;
        }
        sent += result;
    }
    return 1;
}

void socket_close(MailSocket* socket)
{
    if (socket->open) {
        closesocket(socket->handle);
        socket->open = false;
        socket->handle = INVALID_SOCKET;
    }
}
