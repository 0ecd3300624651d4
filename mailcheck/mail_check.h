// Socket library start-up and the check: which protocol, and the notice.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/connection.h"
#include "mailcheck/pop3_reply.h"
#include "settings/user_settings.h"

int start_network(HWND owner);
// The check's own connection, on the window thread; open only while a
// check runs (a nested check in an error box finds it closed).
extern Connection check_connection;
// The last check could not reach its server and this computer had no usable
// network: it showed nothing and returned 1, and the next one is due as soon
// as a network comes back.
extern bool check_found_no_network;
// While true (the wait for a network after wake), a check that fails before
// the server said anything is as quiet as one without a network: adapters
// often report their old address and gateway for seconds after wake.
extern bool check_quiet_unreached;
// The last check ran to its end over IMAP, and its server offers IDLE.
extern bool check_offers_push;
// Set by the caller while the push connection's news starts the check:
// the chime then plays only for new mail.
extern bool check_after_news;
// What the last check that reached its end found, to tell new mail from
// mail already announced.
struct MailFinding {
    bool known;
    int32_t count;
    uint32_t uidnext;       // over IMAP, 0 when the server gave none
    uint32_t uidvalidity;   // over IMAP, 0 when the server gave none
    char newest_id[UIDL_ID_SIZE];   // over POP3, the newest message's, "" when unknown
    char server[SETTING_TEXT_SIZE];
    char account[SETTING_TEXT_SIZE];
};
extern MailFinding last_finding;
// 1 when the exchange ran to its end, whatever the count; 0 after an error box.
int check_mailbox(HWND owner);
