// Socket library start-up and the check: which protocol, and the notice.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include "mailcheck/connection/connection.h"
#include "mailcheck/pop3_reply.h"
#include "mailcheck/what_is_new.h"
#include "settings/user_settings.h"

int start_network(HWND owner);
// The check's own connection, on the window thread; open only while a
// check runs (a nested check in an error box finds it closed).
extern Connection check_connection;
// What the window thread asks of a check.
struct CheckRequest {
    // The push connection's news started it: the chime then plays only for
    // new mail.
    bool after_news;
    // The wait for a network after wake: a check that fails before the
    // server said anything is as quiet as one without a network (adapters
    // often report their old address and gateway for seconds after wake).
    bool quiet_unreached;
};
// What a check tells the window thread.
struct CheckOutcome {
    // It could not reach its server and this computer had no usable
    // network: it showed nothing, and the next one is due as soon as a
    // network comes back.
    bool no_network;
    // It ran to its end over IMAP and its server offers IDLE: the push
    // connection may open, from this next UID on.
    bool offers_push;
    uint32_t uidnext;
};
// What the last check that ran to its end found (what_is_new.h): forgotten
// only by the tests.
extern MailboxMemory last_mailbox;
// 1 when the exchange ran to its end, whatever the count; 0 after an error
// box. *outcome (may be nullptr) says what the window thread acts on.
int check_mailbox(HWND owner, const CheckRequest& request = {}, CheckOutcome* outcome = nullptr);
