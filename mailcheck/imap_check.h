// The IMAP exchange of a check over the open, secured connection.
#pragma once

#include <windows.h>

#include <stdint.h>

// The unseen messages of the inbox into *count. 1, or 0 after its box.
int imap_unseen(HWND owner, int32_t* count);
