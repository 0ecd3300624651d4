// libFuzzer target: any text in the POP server field.
#include <string.h>

#include "mailcheck/server_address.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    char text[SETTING_TEXT_SIZE];
    size_t length = size < sizeof text - 1 ? size : sizeof text - 1;
    memcpy(text, data, length);
    text[length] = '\0';
    // Filled with a marker first: only what the parser wrote may pass.
    ServerAddress address;
    memset(&address, 0x5a, sizeof address);
    if (parse_server_address(text, &address)) {
        // What was accepted is a terminated host that fits and a real port.
        if (memchr(address.host, '\0', sizeof address.host) == nullptr
            || memchr(address.name, '\0', sizeof address.name) == nullptr || address.port == 0)
            __builtin_trap();
        if (address.security != Security::plain && address.host[0] == '\0')
            __builtin_trap();
        // A host with a colon is an IPv6 address, never something else.
        if (strchr(address.host, ':') != nullptr && (!address.literal || !is_ipv6_address(address.host)))
            __builtin_trap();
    }
    return 0;
}
