#include "mailcheck/connection/support_line.h"

#include <string.h>

void support_line_reset(SupportLine* line)
{
    note_failure(line, nullptr, 0);
    line->server_length = 0;
}

void note_failure(SupportLine* line, const char* step, unsigned long code)
{
    line->failed_step = step;
    line->failed_code = code;
}

void note_server(SupportLine* line, const sockaddr* address, int length)
{
    memcpy(&line->server, address, static_cast<size_t>(length));
    line->server_length = length;
}

void write_support_line(const SupportLine* line, const char* remark, const char* subject)
{
    char text[192];
    int length = wsprintfA(text, "Quillbeam: %s failed at %s, code 0x%08lX", subject,
                           line->failed_step != nullptr ? line->failed_step : "the server's reply",
                           line->failed_code);
    char address[64];
    DWORD size = sizeof address;
    sockaddr_storage server = line->server;
    if (line->server_length != 0
        && WSAAddressToStringA(reinterpret_cast<sockaddr*>(&server), line->server_length, nullptr, address,
                               &size) == 0)
        length += wsprintfA(text + length, ", server %s", address);
    if (remark != nullptr)
        length += wsprintfA(text + length, ", %s", remark);
    lstrcpyA(text + length, "\n");
    OutputDebugStringA(text);
}
