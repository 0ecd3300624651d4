// libFuzzer target: any challenge line a server sends after a SASL response.
#include <string.h>

#include "signin/oauth_text.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    char line[600];
    const size_t length = size < sizeof line - 1 ? size : sizeof line - 1;
    memcpy(line, data, length);
    line[length] = '\0';
    char status[16];
    if (sasl_challenge_status(line, status, sizeof status) && strlen(status) >= sizeof status)
        __builtin_trap();
    uint8_t bytes[64];
    const long n = base64_decode(line, length, bytes, sizeof bytes);
    if (n > static_cast<long>(sizeof bytes))
        __builtin_trap();
    return 0;
}
