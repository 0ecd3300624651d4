// Stand-ins for the tray icons and the shell services that record each call,
// so a test sees what the user would see and in which order:
// "sound", "add_main:<tip>", "remove_main", "add_mail:<tip>", "remove_mail",
// "menu:<name>", "launch", "select_mailer", "shortcut"; each marked
// "(socket still open)" when it came while the check's socket was open.
#pragma once

#include <string>
#include <vector>

#include <functional>

extern std::vector<std::string> recorded_calls;
// Run when the new-mail icon is added (a test's moment between a check's
// end and what the window does next); empty: nothing.
extern std::function<void()> on_add_mail;
// The notifications asked for, each "title|body" (the body in code page 932).
extern std::vector<std::string> recorded_balloons;

// The network as the check sees it (GetAdaptersAddresses is redirected for
// every test program that links this): by default one adapter that is up
// with an address and a gateway; network_present false: no adapter at all.
struct FakeAdapter {
    bool up = true;
    unsigned long type = 6;   // IF_TYPE_ETHERNET_CSMACD
    bool address = true;
    bool gateway = true;
};
extern bool network_present;
extern FakeAdapter fake_adapter;
