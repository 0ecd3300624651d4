#include "mailcheck/mail_check.h"

#include "mailcheck/connection/network_presence.h"
#include "mailcheck/exchange.h"
#include "mailcheck/imap_check.h"
#include "mailcheck/pop3_check.h"
#include "mailcheck/server_address.h"
#include "settings/user_settings.h"
#include "shell/shell.h"
#include "tray/tray.h"

MailboxMemory last_mailbox;
Connection check_connection;

namespace {

// The one place a finding becomes what the user sees and hears: the notice
// with the count, the notification when mail arrived, the chime.
void announce(HWND owner, const Finding& f, const CheckRequest& request, bool imap)
{
    if (f.count <= 0) {
        if (imap)
            remove_mail_icon(owner);   // read elsewhere: a phone, the web
        return;
    }
    char notice[REPLY_BUFFER_SIZE];
    wsprintfA(notice, "合計%d通のメールが着ています", f.count);
    // Push news comes for every change of the inbox (a message read or
    // flagged elsewhere too): only new mail chimes then.
    if (user_settings.sound_on == 1 && (!request.after_news || f.arrived))
        play_new_mail_sound();
    remove_mail_icon(owner);
    add_mail_icon(owner, notice, f.count);
    if (!f.arrived)
        return;
    // POP3 says nothing of who wrote: it never downloads a message.
    static const wchar_t click_to_start[] = L"クリックするとメールソフトを起動します";
    wchar_t body[HEADER_TEXT_SIZE];
    if (f.described > 0)
        compose_notice_body(f.lines, f.described, f.count - f.described, reinterpret_cast<char16_t*>(body),
                            HEADER_TEXT_SIZE);
    else
        lstrcpynW(body, click_to_start, HEADER_TEXT_SIZE);
    show_mail_balloon(owner, notice, body);
}

} // namespace

int start_network(HWND owner)
{
    WSADATA data;
    const WORD version = MAKEWORD(2, 2);
    if (WSAStartup(version, &data) != 0) {
        MessageBoxA(owner, "WSAStartup error", "Error", MB_OK | MB_ICONERROR);
        return 0;
    }
    if (data.wVersion != version) {
        MessageBoxA(owner, "Winsock version error", "Error", MB_OK | MB_ICONERROR);
        return 0;
    }
    return 1;
}

int check_mailbox(HWND owner, const CheckRequest& request, CheckOutcome* outcome)
{
    CheckOutcome ignored;
    CheckOutcome& out = outcome != nullptr ? *outcome : ignored;
    out = {};
    Connection* c = &check_connection;
    support_line_reset(connection_support(c));
    ServerAddress server;
    if (!parse_server_address(user_settings.pop_server, &server)) {
        note_failure(connection_support(c), "the server field", 0);
        return show_error(c, owner, "POPサーバー名の書式が正しくありません");
    }
    const Reach reach = connection_open(c, server.host, server.port);
    // Without a network no server can be reached: that is no fault of the
    // mailbox, so nothing is shown and polling goes on (the line still says why).
    // Just after wake the same holds for any failure before the server spoke.
    const bool no_network = (reach == Reach::lookup_failed || reach == Reach::unreachable) && !network_usable();
    if (no_network || (reach != Reach::connected && request.quiet_unreached)) {
        write_support_line(connection_support(c), no_network ? "no usable network" : "waiting for a network after wake");
        connection_close(c);
        out.no_network = true;
        return 1;
    }
    switch (reach) {
    case Reach::lookup_failed:
        return show_error(c, owner, "POPサーバー名取得に失敗");
    case Reach::socket_failed:
        return show_error(c, owner, "Mail socket open error");
    case Reach::unreachable:
    case Reach::connect_failed:
        return show_error(c, owner, "Mail connect error");
    case Reach::connected:
        break;
    }
    if (server.security == Security::implicit_tls && !start_tls(c, owner, server.literal ? nullptr : server.name))
        return 0;
    const bool imap = server.protocol == Protocol::imap;
    bool idle = false;
    Finding found;
    static char token[TOKEN_SIZE];   // the window thread's, for this check only
    Credentials login;
    if (!credentials_for(c, owner, server, user_settings.pop_server, user_settings.account, user_settings.password,
                         token, &login))
        return 0;
    if (imap) {
        if (!imap_login(c, owner, login, &idle) || !imap_find(c, owner, last_mailbox, &found))
            return 0;
        imap_logout(c);
    } else if (!pop3_find(c, owner, server, login, last_mailbox, &found)) {
        return 0;
    }
    last_mailbox = found.memory;
    out.offers_push = idle;
    out.uidnext = found.memory.uidnext;
    // Closed before the notice: a callback that arrives while the icon is
    // added may start a nested check, which needs the connection for itself.
    connection_close(c);
    announce(owner, found, request, imap);
    return 1;
}
