#include "mailcheck/connection/support_line.h"

#include <string.h>

namespace {

const char* failed_step;
unsigned long failed_code;
sockaddr_storage server;
int server_length;   // 0: not connected

} // namespace

void support_line_reset()
{
    note_failure(nullptr, 0);
    server_length = 0;
}

void note_failure(const char* step, unsigned long code)
{
    failed_step = step;
    failed_code = code;
}

void note_server(const sockaddr* address, int length)
{
    memcpy(&server, address, static_cast<size_t>(length));
    server_length = length;
}

void write_support_line(const char* remark, const char* subject)
{
    char line[192];
    int length = wsprintfA(line, "Quillbeam: %s failed at %s, code 0x%08lX", subject,
                           failed_step != nullptr ? failed_step : "the server's reply", failed_code);
    char address[64];
    DWORD size = sizeof address;
    if (server_length != 0
        && WSAAddressToStringA(reinterpret_cast<sockaddr*>(&server), server_length, nullptr, address, &size) == 0)
        length += wsprintfA(line + length, ", server %s", address);
    if (remark != nullptr)
        length += wsprintfA(line + length, ", %s", remark);
    lstrcpyA(line + length, "\n");
    OutputDebugStringA(line);
}
