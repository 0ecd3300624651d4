#include "mailcheck/push_watch.h"

#include "mailcheck/exchange.h"
#include "mailcheck/imap_check.h"
#include "mailcheck/server_address.h"
#include "settings/cp932_text.h"
#include "settings/user_settings.h"

// Below RFC 2177's 29 minutes and below the idle time-outs of home routers
// and mobile networks.
DWORD push_renew_ms = 9 * 60 * 1000;
DWORD push_done_ms = 60 * 1000;

namespace {

HANDLE thread;
HANDLE stop_event;      // one for each start: once set, it stays set
HANDLE network_event;   // auto reset
HANDLE socket_event;    // auto reset
HWND news_window;
UINT news_message;
LONG news_posted;   // one message until the main window takes it
// Its own copy: the settings dialog may change them while it runs.
ServerAddress server;
char account[SETTING_TEXT_SIZE];
char password[SETTING_TEXT_SIZE];
ReplyLine line;

enum Wake : DWORD { STOP, NETWORK, READABLE, RENEW };

void note(const char* what)
{
    char text[64];
    wsprintfA(text, "Quillbeam: push: %s\n", what);
    OutputDebugStringA(text);
}

// The polite end of an open connection: DONE when idling, LOGOUT, neither
// answer waited for.
void finish(bool idling, const char* why)
{
    static const char done_logout[] = "DONE\r\np3 LOGOUT\r\n";
    const char* bytes = idling ? done_logout : done_logout + 6;
    connection_send(bytes, lstrlenA(bytes));
    connection_close();
    note(why);
}

// Blocks on the socket and the two events until the deadline: no CPU while
// nothing happens. Meanwhile the connection is parked: checks run beside it.
DWORD wait_until(DWORD deadline)
{
    if (connection_unread() != 0)
        return READABLE;   // already received: the socket will not signal it again
    const SOCKET s = connection_park();
    // A signal left from bytes already read would wake it for nothing.
    WaitForMultipleObjects(1, &socket_event, FALSE, 0);
    WSAEventSelect(s, socket_event, FD_READ | FD_CLOSE);
    const LONG left = static_cast<LONG>(deadline - GetTickCount());
    const HANDLE events[] = {stop_event, network_event, socket_event};
    const DWORD woke = WaitForMultipleObjects(3, events, FALSE, left > 0 ? static_cast<DWORD>(left) : 0);
    WSAEventSelect(s, nullptr, 0);
    connection_unpark(s);   // after the check that may be running
    return woke == WAIT_TIMEOUT ? RENEW : woke > READABLE ? STOP : woke;
}

// One line from the server: 1 a sign of life ("* OK still here") or a
// change of the inbox (the message posted), 2 the tagged OK that ends an
// IDLE after DONE; 0 when the connection has ended: the server failed or
// ended IDLE.
int hear(bool idling)
{
    if (!receive_line(NO_BOX, &line))
        return 0;   // closed, with its support line
    const ImapLine kind = imap_line_kind(line.text, "p2");
    if (imap_mailbox_changed(line.text)) {
        note("the inbox changed");
        if (InterlockedExchange(&news_posted, 1) == 0)
            PostMessageA(news_window, news_message, 0, 0);
        return 1;
    }
    if (kind == ImapLine::untagged)
        return 1;
    if (kind == ImapLine::ok && !idling)
        return 2;
    finish(false, "the server ended IDLE");
    return 0;
}

DWORD session()
{
    bool idle;
    support_line_reset();
    if (connection_open(server.host, server.port) != Reach::connected)
        return show_error(NO_BOX, "");
    if ((server.security == Security::implicit_tls && !start_tls(NO_BOX, server.literal ? nullptr : server.name))
        || !imap_login(NO_BOX, account, password, &idle)
        || !imap_command(NO_BOX, "p1 EXAMINE INBOX\r\n", "p1", ImapLine::ok))
        return 0;
    for (;;) {
        if (!imap_command(NO_BOX, "p2 IDLE\r\n", "p2", ImapLine::continuation))
            return 0;
        // A network change renews it at once: a connection whose network is
        // gone gets no answer to DONE and ends.
        const DWORD renew_at = GetTickCount() + push_renew_ms;
        note("idling");
        for (DWORD wake; (wake = wait_until(renew_at)) != RENEW && wake != NETWORK;) {
            if (wake == STOP) {
                finish(true, "closed");
                return 0;
            }
            connection_allow(mail_reply_time_ms);
            if (!hear(true))
                return 0;
        }
        if (!send_command(NO_BOX, "DONE\r\n"))
            return 0;
        connection_allow(push_done_ms);
        for (int heard; (heard = hear(false)) != 2;)
            if (heard == 0)
                return 0;
    }
}

DWORD WINAPI run(void*)
{
    session();
    connection_close();   // already closed on every way out; a room kept would hang every check
    return 0;
}

} // namespace

void push_start(HWND window, UINT message)
{
    if (thread != nullptr && WaitForMultipleObjects(1, &thread, FALSE, 0) == WAIT_TIMEOUT)
        return;   // still open
    push_stop();   // one that ended by itself
    if (!parse_server_address(user_settings.pop_server, &server))
        return;
    if (network_event == nullptr) {
        network_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        socket_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    copy_text(account, sizeof account, user_settings.account);
    copy_text(password, sizeof password, user_settings.password);
    news_window = window;
    news_message = message;
    news_posted = 0;
    thread = CreateThread(nullptr, 0, run, nullptr, 0, nullptr);
}

bool push_stop(DWORD wait_ms)
{
    if (thread == nullptr)
        return true;
    SetEvent(stop_event);
    if (WaitForMultipleObjects(1, &thread, FALSE, wait_ms) == WAIT_TIMEOUT)
        return false;
    CloseHandle(thread);
    CloseHandle(stop_event);
    thread = nullptr;
    return true;
}

bool push_take_news() { return InterlockedExchange(&news_posted, 0) != 0; }

void push_network_changed()
{
    if (thread != nullptr)
        SetEvent(network_event);
}
