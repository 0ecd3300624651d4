// A filled settings record for the tests, as a saved user.ini gives it.
// Portable: the native and the Windows tests share it.
#pragma once

#include <string.h>

#include "settings/user_settings.h"

struct RecordTexts {
    const char* pop_server;
    const char* account;
    const char* password;
    const char* check_time = "300";
    const char* mailer_path = "/Program Files/Mail/mail.exe";
    int sound_on = 1;
};

inline UserSettings settings_record(const RecordTexts& texts)
{
    UserSettings s = {};
    strncpy(s.pop_server, texts.pop_server, sizeof s.pop_server - 1);
    strncpy(s.account, texts.account, sizeof s.account - 1);
    strncpy(s.password, texts.password, sizeof s.password - 1);
    strncpy(s.check_time, texts.check_time, sizeof s.check_time - 1);
    strncpy(s.mailer_path, texts.mailer_path, sizeof s.mailer_path - 1);
    s.sound_on = texts.sound_on;
    return s;
}
