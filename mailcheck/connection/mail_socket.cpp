#include "mailcheck/connection/mail_socket.h"

#include "mailcheck/connection/support_line.h"

SOCKET mail_socket = INVALID_SOCKET;
DWORD mail_reply_time_ms = 30000;
DWORD mail_check_time_ms = 60000;

namespace {

DWORD check_deadline;
DWORD receive_timeout;   // what the socket's receive time-out is now

} // namespace

void start_check_clock(DWORD time) { check_deadline = GetTickCount() + time; }

DWORD bounded_deadline(DWORD time)
{
    DWORD deadline = GetTickCount() + time;
    return static_cast<LONG>(deadline - check_deadline) > 0 ? check_deadline : deadline;
}

bool past(DWORD deadline) { return static_cast<LONG>(deadline - GetTickCount()) <= 0; }

void socket_take(SOCKET s)
{
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
    mail_socket = s;
    receive_timeout = mail_reply_time_ms;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receive_timeout), sizeof receive_timeout);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&receive_timeout), sizeof receive_timeout);
}

// A peer that drips bytes cannot stretch a reply. The time-out is set anew
// only when it is more than a second off, so most replies cost no call
// beyond their recv.
int socket_receive(char* out, int size, DWORD deadline)
{
    const LONG slack = 1000;
    LONG left = static_cast<LONG>(deadline - GetTickCount());
    if (left <= 0) {
        note_failure("receive", WSAETIMEDOUT);
        return 0;
    }
    LONG current = static_cast<LONG>(receive_timeout);
    if (current > left + slack || current + slack < left) {
        receive_timeout = static_cast<DWORD>(left);
        setsockopt(mail_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receive_timeout),
                   sizeof receive_timeout);
    }
    int got = recv(mail_socket, out, size, 0);
    if (got <= 0)
        note_failure("receive", got == 0 ? 0 : static_cast<unsigned long>(WSAGetLastError()));
    return got;
}

int socket_send(const char* data, int length)
{
    for (int sent = 0; sent < length;) {
        int result = send(mail_socket, data + sent, length - sent, 0);
        if (result <= 0) {
            note_failure("send", static_cast<unsigned long>(WSAGetLastError()));
            return 0;
        }
        sent += result;
    }
    return 1;
}

void socket_close()
{
    if (mail_socket != INVALID_SOCKET) {
        closesocket(mail_socket);
        mail_socket = INVALID_SOCKET;
    }
}
