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

// A dead path is noticed within about five minutes (four of silence, then
// probes 10 s apart), long before the renewal; the probes also keep the
// idle mappings of home routers and mobile NATs open.
constexpr DWORD KEEP_ALIVE_IDLE_MS = 4 * 60 * 1000;
constexpr DWORD KEEP_ALIVE_PROBE_MS = 10 * 1000;

// One push connection's start-up values and events, handed to its thread.
// The window thread writes a session only while no thread runs on it.
struct Session {
    LONG running;             // set by push_start, cleared by its thread as its last act
    HANDLE thread;
    HANDLE stop_event;        // manual reset: once set, it stays set
    HANDLE network_event;     // auto reset
    HWND window;
    UINT message;
    WPARAM generation;        // its news carries it: only the current one's counts
    LONG news_posted;         // one message until the main window takes it
    uint32_t seen_uidnext;
    // Its own copy: the settings dialog may change them while it runs.
    ServerAddress server;
    char server_field[SETTING_TEXT_SIZE];   // as typed: the sign-in is for it
    char account[SETTING_TEXT_SIZE];
    char password[SETTING_TEXT_SIZE];
    char token[TOKEN_SIZE];
};

// A thread that could not be stopped in time keeps its session until it
// ends; the other one serves the next start.
Session sessions[2];
Session* current;   // the one opened last, until push_stop
WPARAM generation;  // of the one opened last

enum Wake : DWORD { STOP, NETWORK, READABLE, RENEW = WAIT_TIMEOUT };
// A session's end: over, or its sign-in's token is near its end (Gmail
// ends the session with it) and it logs in again at once.
enum Ended : DWORD { OVER = 0, LOG_IN_AGAIN = 2 };

void note(const char* what)
{
    char text[64];
    wsprintfA(text, "Quillbeam: push: %s\n", what);
    OutputDebugStringA(text);
}

void post_news(Session* s)
{
    note("the inbox changed");
    // A message that could not be posted is posted again at the next change.
    if (InterlockedExchange(&s->news_posted, 1) == 0 && !PostMessageA(s->window, s->message, s->generation, 0))
        InterlockedExchange(&s->news_posted, 0);
}

// The polite end of an open connection: DONE when idling, LOGOUT, neither
// answer waited for.
void finish(Connection* c, bool idling, const char* why)
{
    static const char done_logout[] = "DONE\r\np3 LOGOUT\r\n";
    const char* bytes = idling ? done_logout : done_logout + 6;
    connection_send(c, bytes, lstrlenA(bytes));
    connection_close(c);
    note(why);
}

// Whether an untagged line is news: before IDLE (examining) the inbox's
// next UID against the check's; from IDLE on, every change counts.
struct NewsWatch {
    Session* s;
    bool examining;
};

bool news_of(void* context, ReplyLine* line)
{
    const NewsWatch* w = static_cast<const NewsWatch*>(context);
    uint32_t uidnext = 0;
    if (w->examining ? imap_uidnext_code(line->text, &uidnext) && w->s->seen_uidnext != 0
                           && uidnext != w->s->seen_uidnext
                     : imap_mailbox_changed(line->text))
        post_news(w->s);
    return true;
}

// Responses up to the tagged one or the go-ahead wanted; a failure closes
// the connection with its support line.
int hear_until(Session* s, Connection* c, ReplyLine* line, const char* tag, ImapLine wanted, bool examining)
{
    NewsWatch watch = {s, examining};
    const int got = imap_until(c, line, tag, wanted, nullptr, news_of, &watch);
    return got > 0 ? 1 : got == 0 ? receive_failed(c, NO_BOX, "") : show_error(c, NO_BOX, "");   // refused
}

DWORD session(Session* s, Connection* c, HANDLE socket_event)
{
    bool idle;
    ReplyLine line;
    Credentials login;
    support_line_reset(connection_support(c));
    const ServerAddress& server = s->server;
    if (connection_open(c, server.host, server.port) != Reach::connected)
        return show_error(c, NO_BOX, "");
    connection_keep_alive(c, KEEP_ALIVE_IDLE_MS, KEEP_ALIVE_PROBE_MS);
    if ((server.security == Security::implicit_tls && !start_tls(c, NO_BOX, server.literal ? nullptr : server.name))
        || !credentials_for(c, NO_BOX, server, s->server_field, s->account, s->password, s->token, &login)
        || !imap_login(c, NO_BOX, login, &idle)
        || !send_command(c, NO_BOX, "p1 EXAMINE INBOX\r\n") || !hear_until(s, c, &line, "p1", ImapLine::ok, true))
        return 0;
    const HANDLE events[] = {s->stop_event, s->network_event};
    for (;;) {
        if (!send_command(c, NO_BOX, "p2 IDLE\r\n") || !hear_until(s, c, &line, "p2", ImapLine::continuation, false))
            return 0;
        // A network change renews it at once: a connection whose network is
        // gone gets no answer to DONE and ends. A sign-in's session ends
        // when its token is renewed.
        DWORD renew_in = push_renew_ms;
        bool token_ends = false;
        if (login.token != nullptr) {
            const ULONGLONG now = GetTickCount64();
            const ULONGLONG left = login.renew_at > now ? login.renew_at - now : 0;
            token_ends = left <= renew_in;
            renew_in = token_ends ? static_cast<DWORD>(left) : renew_in;
        }
        const DWORD renew_at = GetTickCount() + renew_in;
        note("idling");
        for (;;) {
            const LONG left = static_cast<LONG>(renew_at - GetTickCount());
            const DWORD wake = connection_wait(c, socket_event, events, 2, left > 0 ? static_cast<DWORD>(left) : 0);
            if (wake == RENEW && token_ends) {
                finish(c, true, "logging in again with a renewed token");
                return LOG_IN_AGAIN;
            }
            if (wake == RENEW || wake == NETWORK)
                break;
            if (wake == STOP) {
                finish(c, true, "closed");
                return 0;
            }
            connection_allow(c, mail_reply_time_ms);
            if (!connection_settle(c))
                continue;   // a TLS record without data: nothing was said
            ImapLine kind;
            NewsWatch watch = {s, false};
            if (!imap_hear(c, &line, "p2", nullptr, &kind, news_of, &watch))
                return receive_failed(c, NO_BOX, "");
            if (kind != ImapLine::untagged) {
                finish(c, false, "the server ended IDLE");
                return 0;
            }
        }
        if (!send_command(c, NO_BOX, "DONE\r\n"))
            return 0;
        connection_allow(c, push_done_ms);
        if (!hear_until(s, c, &line, "p2", ImapLine::ok, false))
            return 0;
    }
}

DWORD WINAPI run(void* parameter)
{
    Session* s = static_cast<Session*>(parameter);
    // The thread's own: nothing of it is shared.
    Connection connection = {};
    HANDLE socket_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (socket_event != nullptr) {
        // Logged in again quietly: no news for it (the inbox is compared
        // with what the check saw, as at the start).
        while (session(s, &connection, socket_event) == LOG_IN_AGAIN)
            continue;
        CloseHandle(socket_event);
    }
    connection_close(&connection);   // already closed on every way out
    InterlockedExchange(&s->running, 0);
    return 0;
}

bool running(Session* s) { return InterlockedCompareExchange(&s->running, 0, 0) != 0; }

void close_handle(HANDLE* handle)
{
    if (*handle != nullptr)
        CloseHandle(*handle);
    *handle = nullptr;
}

} // namespace

void push_start(HWND window, UINT message, uint32_t seen_uidnext)
{
    if (current != nullptr && running(current))
        return;   // still open
    push_stop(0);   // one that ended by itself
    Session* s = nullptr;
    for (Session& candidate : sessions)
        if (!running(&candidate))
            s = &candidate;
    if (s == nullptr || !parse_server_address(user_settings.pop_server, &s->server))
        return;   // two that would not stop are still ending: polling goes on
    close_handle(&s->thread);
    close_handle(&s->stop_event);
    close_handle(&s->network_event);
    s->stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s->network_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    copy_text(s->server_field, sizeof s->server_field, user_settings.pop_server);
    copy_text(s->account, sizeof s->account, user_settings.account);
    copy_text(s->password, sizeof s->password, user_settings.password);
    s->window = window;
    s->message = message;
    s->seen_uidnext = seen_uidnext;
    s->generation = ++generation;
    InterlockedExchange(&s->news_posted, 0);
    InterlockedExchange(&s->running, 1);
    if (s->stop_event != nullptr && s->network_event != nullptr)
        s->thread = CreateThread(nullptr, 0, run, s, 0, nullptr);
    if (s->thread == nullptr) {
        InterlockedExchange(&s->running, 0);
        close_handle(&s->stop_event);
        close_handle(&s->network_event);
        return;
    }
    current = s;
}

bool push_stop(DWORD wait_ms)
{
    if (current != nullptr) {
        Session* s = current;
        current = nullptr;
        SetEvent(s->stop_event);
    }
    // Every push thread's own end, not its flag: one that does not end in
    // time ends by itself, and its session is taken again only then.
    HANDLE threads[2];
    DWORD count = 0;
    for (Session& s : sessions)
        if (s.thread != nullptr && WaitForSingleObject(s.thread, 0) == WAIT_TIMEOUT)
            threads[count++] = s.thread;
    return count == 0 || WaitForMultipleObjects(count, threads, TRUE, wait_ms) < WAIT_OBJECT_0 + count;
}

bool push_take_news(WPARAM news_generation)
{
    if (current == nullptr || news_generation != current->generation)
        return false;   // a stopped one's: its flag was the current one's to clear
    return InterlockedExchange(&current->news_posted, 0) != 0;
}

void push_network_changed()
{
    if (current != nullptr)
        SetEvent(current->network_event);
}
