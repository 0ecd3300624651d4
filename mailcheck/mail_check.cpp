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
    support_line_reset();
    check_found_no_network = false;
    ServerAddress server;
    if (!parse_server_address(user_settings.pop_server, &server)) {
        note_failure("the server field", 0);
        return show_error(owner, "POPサーバー名の書式が正しくありません");
    }
    const Reach reach = connection_open(server.host, server.port);
    // Without a network no server can be reached: that is no fault of the
    // mailbox, so nothing is shown and polling goes on (the line still says why).
    // Just after wake the same holds for any failure before the server spoke.
    const bool no_network = (reach == Reach::lookup_failed || reach == Reach::unreachable) && !network_usable();
    if (no_network || (reach != Reach::connected && check_quiet_unreached)) {
        write_support_line(no_network ? "no usable network" : "waiting for a network after wake");
        connection_close();
        check_found_no_network = true;
        return 1;
    }
    switch (reach) {
    case Reach::lookup_failed:
        return show_error(owner, "POPサーバー名取得に失敗");
    case Reach::socket_failed:
        return show_error(owner, "Mail socket open error");
    case Reach::unreachable:
    case Reach::connect_failed:
        return show_error(owner, "Mail connect error");
    case Reach::connected:
        break;
    }
    if (server.security == Security::implicit_tls && !start_tls(owner, server.literal ? nullptr : server.name))
        return 0;
    int32_t count = 0;
    if (!(server.protocol == Protocol::imap ? imap_unseen(owner, &count) : pop3_stat(owner, server, &count)))
        return 0;
    // Closed before the notice: a callback that arrives while the icon is
    // added may start a nested check, which needs mail_socket for itself.
    connection_close();

    if (count > 0) {
        char notice[REPLY_BUFFER_SIZE];
        wsprintfA(notice, "合計%d通のメールが着ています", count);
        if (user_settings.sound_on == 1)
            play_new_mail_sound();
        remove_mail_icon(owner);
        add_mail_icon(owner, notice);
    }
    return 1;
}
