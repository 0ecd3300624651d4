// The line a support person reads when a check fails: the step, the
// system's own code for it and, once connected, the server's address.
// The bottom floor of the connection: it calls nothing of the check.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Forgets the last check's step and server: a check that fails before it
// connects must not name the server of the one before.
void support_line_reset();
// The step that failed and the system's code for it; the last one noted
// is what the line says (nullptr: none yet).
void note_failure(const char* step, unsigned long code);
// The address the check is connected to.
void note_server(const sockaddr* address, int length);
// "Quillbeam: check failed at <step>, code 0x…" (and the server's address
// once one was connected, and the remark if any), on the debugger's output;
// the push connection's lines begin "Quillbeam: push: failed at".
void write_support_line(const char* remark = nullptr, const char* subject = "check");
