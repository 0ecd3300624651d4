#include "shell/shell.h"

// Placeholders until the shell services are built.
int play_new_mail_sound() { return 1; }
int launch_mailer() { return 1; }
HRESULT create_startup_shortcut(const char*, const char*, const char*, const char*,
                                const char*, const char*, int, int)
{
    return E_NOTIMPL;
}
int select_mailer(HWND) { return 0; }
