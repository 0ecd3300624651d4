#include "dialogs/dialogs.h"

// Placeholders until the dialogs are built.
INT_PTR CALLBACK setup_dialog_proc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
INT_PTR CALLBACK settings_dialog_proc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
