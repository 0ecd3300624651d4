// The line a support person reads when a check fails: the step, the
// system's own code for it and, once connected, the server's address.
// Each connection keeps its own, so one never names another's server.
// The bottom floor of the connection: it calls nothing of the check.
#pragma once

#include <winsock2.h>
#include <windows.h>

struct SupportLine {
    const char* failed_step;   // nullptr: none yet
    unsigned long failed_code;
    sockaddr_storage server;
    int server_length;         // 0: not connected
};

// Forgets the last step and server: a check that fails before it connects
// must not name the server of the one before.
void support_line_reset(SupportLine* line);
// The step that failed and the system's code for it; the last one noted
// is what the line says.
void note_failure(SupportLine* line, const char* step, unsigned long code);
// The address the connection is connected to.
void note_server(SupportLine* line, const sockaddr* address, int length);
// "Quillbeam: check failed at <step>, code 0x…" (and the server's address
// once one was connected, and the remark if any), on the debugger's output;
// the push connection's lines begin "Quillbeam: push: failed at".
void write_support_line(const SupportLine* line, const char* remark = nullptr, const char* subject = "check");
