#include "mailcheck/mail_check.h"

#include "mailcheck/connection/network_presence.h"
#include "mailcheck/exchange.h"
#include "mailcheck/imap_check.h"
#include "mailcheck/pop3_check.h"
#include "mailcheck/server_address.h"
#include "settings/user_settings.h"
#include "shell/shell.h"
#include "tray/tray.h"

bool check_found_no_network;
bool check_quiet_unreached;
bool check_offers_push;
bool check_after_news;
MailFinding last_finding;
Connection check_connection;

namespace {

enum class Newness {
    none,
    new_mail,
    ask,   // over IMAP the next UID moved: the server says whether unread mail came
};

// Against what the check before found on the same mailbox. The first
// finding after the start, or after the mailbox changed (another server or
// account, or a UIDVALIDITY that changed: the server rebuilt it), is new.
// Over IMAP a next UID that grew may be new mail (the server is asked);
// else a count that rose.
bool same_mailbox(uint32_t uidvalidity)
{
    const MailFinding& last = last_finding;
    return last.known && lstrcmpA(last.server, user_settings.pop_server) == 0
        && lstrcmpA(last.account, user_settings.account) == 0
        && (uidvalidity == 0 || last.uidvalidity == 0 || uidvalidity == last.uidvalidity);
}

Newness newness(int32_t count, uint32_t uidnext, uint32_t uidvalidity)
{
    const MailFinding& last = last_finding;
    if (count <= 0)
        return Newness::none;
    if (!same_mailbox(uidvalidity))
        return Newness::new_mail;
    if (uidnext != 0 && last.uidnext != 0)
        return uidnext > last.uidnext ? Newness::ask : Newness::none;
    return count > last.count ? Newness::new_mail : Newness::none;
}

void remember_finding(int32_t count, uint32_t uidnext, uint32_t uidvalidity)
{
    last_finding.known = true;
    last_finding.count = count;
    last_finding.uidnext = uidnext;
    last_finding.uidvalidity = uidvalidity;
    copy_text(last_finding.server, sizeof last_finding.server, user_settings.pop_server);
    copy_text(last_finding.account, sizeof last_finding.account, user_settings.account);
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

int check_mailbox(HWND owner)
{
    Connection* c = &check_connection;
    support_line_reset(connection_support(c));
    check_found_no_network = check_offers_push = false;
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
    if (no_network || (reach != Reach::connected && check_quiet_unreached)) {
        write_support_line(connection_support(c), no_network ? "no usable network" : "waiting for a network after wake");
        connection_close(c);
        check_found_no_network = true;
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
    int32_t count = 0;
    uint32_t uidnext = 0, uidvalidity = 0;
    const bool imap = server.protocol == Protocol::imap;
    bool idle = false;
    if (!(imap ? imap_login(c, owner, user_settings.account, user_settings.password, &idle)
                     && imap_unseen(c, owner, &count, &uidnext, &uidvalidity)
               : pop3_stat(c, owner, server, &count)))
        return 0;
    const Newness newness_now = newness(count, uidnext, uidvalidity);
    bool fresh = newness_now == Newness::new_mail;
    NoticeLine lines[3] = {};
    int described = 0;
    if (imap) {
        if (newness_now != Newness::none) {
            int arrived = 0;
            described = imap_newest(c, lines, 3, uidnext,
                                    newness_now == Newness::ask ? last_finding.uidnext : 0, &arrived);
            // A server that would not say: the next UID that grew tells.
            fresh = fresh || arrived == 1 || (arrived < 0 && uidnext > last_finding.uidnext);
        }
        imap_logout(c);
    }
    // Over POP3 the newest message's id tells what arrived: a count that
    // rose misses new mail beside deletions. Without UIDL, the count rule.
    char newest_id[UIDL_ID_SIZE] = "";
    if (!imap && count > 0) {
        const bool same = same_mailbox(0);
        const int arrived = pop3_arrivals(c, count, same ? last_finding.newest_id : "", last_finding.count, newest_id);
        if (same && arrived >= 0)
            fresh = arrived == 1;
    }
    remember_finding(count, uidnext, uidvalidity);
    copy_text(last_finding.newest_id, sizeof last_finding.newest_id, newest_id);
    check_offers_push = idle;
    // Closed before the notice: a callback that arrives while the icon is
    // added may start a nested check, which needs the connection for itself.
    connection_close(c);

    if (count > 0) {
        char notice[REPLY_BUFFER_SIZE];
        wsprintfA(notice, "合計%d通のメールが着ています", count);
        // Push news comes for every change of the inbox (a message read or
        // flagged elsewhere too): only new mail chimes then.
        if (user_settings.sound_on == 1 && (!check_after_news || fresh))
            play_new_mail_sound();
        remove_mail_icon(owner);
        add_mail_icon(owner, notice, count);
        if (fresh) {
            // POP3 says nothing of who wrote: it never downloads a message.
            static const wchar_t click_to_start[] = L"クリックするとメールソフトを起動します";
            wchar_t body[HEADER_TEXT_SIZE];
            if (described > 0)
                compose_notice_body(lines, described, count - described, reinterpret_cast<char16_t*>(body),
                                    HEADER_TEXT_SIZE);
            else
                lstrcpynW(body, click_to_start, HEADER_TEXT_SIZE);
            show_mail_balloon(owner, notice, body);
        }
    } else if (imap) {
        remove_mail_icon(owner);   // read elsewhere: a phone, the web
    }
    return 1;
}
