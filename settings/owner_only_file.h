// Files that hold a secret (user.ini's password, the sign-in's refresh
// token): created owner-only from their first moment. Win32 side.
#pragma once

#include <windows.h>

// A new file at path (replacing one there), for writing, with a protected
// DACL: full control for this user and SYSTEM, nothing for anybody else (on
// a shared PC a folder under C:\ lets every local user read what is in
// it). A volume that refuses the descriptor still gets the file, with the
// folder's access (said on the debugger's output, naming what); one
// without ACLs (FAT, exFAT) ignores it. INVALID_HANDLE_VALUE on failure.
HANDLE create_owner_only(const char* path, const char* what);
