// Process-wide handles and the main window procedure.
#pragma once

#include <windows.h>

extern HINSTANCE module_instance;   // resources are loaded from here
extern HWND main_window;            // set once start-up has succeeded

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
