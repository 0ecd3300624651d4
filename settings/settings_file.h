// Loading and saving user.ini (Win32 side).
#pragma once

#include <windows.h>

// 1: the program has settings and goes on; 0: it must stop.
int load_settings(HWND owner);
// 1: saved; 0: the old file is untouched and the error has been shown.
int save_settings(HWND owner);
