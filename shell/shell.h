// Shell services: the new-mail sound, the mailer, the Startup shortcut and
// the mailer chooser.
#pragma once

#include <windows.h>

int play_new_mail_sound();
int launch_mailer();
HRESULT create_startup_shortcut(const char* link_path, const char* target_path,
                                const char* description, const char* arguments,
                                const char* working_directory, const char* icon_path,
                                int icon_index, int show_command);
int select_mailer(HWND dialog);
