// Whether this computer has a usable network, and word when that may have
// changed: a check that fails for want of one is no fault of the mailbox.
#pragma once

#include <windows.h>

// An adapter that is up with a unicast address and a default gateway;
// loopback and tunnels without a gateway do not count. When the system
// cannot say, the answer is yes: every failure is then shown as always.
bool network_usable();

// Posts `message` to `window` whenever an interface or a route changes
// (from the system's notification thread: a post, nothing more), until
// stop_watching_network.
void watch_network(HWND window, UINT message);
void stop_watching_network();
