// The rules that accept or refuse the entries of the two settings forms.
// Portable: the forms hand over their texts, the rules answer.
#pragma once

#include "settings/user_settings.h"

constexpr int MIN_CHECK_TIME = 30;              // seconds; no upper limit
constexpr char SETUP_CHECK_TIME[] = "300";      // the setup form has no check-time field

// What a form hands to the rules: its field texts and the sound check box.
struct SettingsEntry {
    char pop_server[SETTING_TEXT_SIZE];
    char account[SETTING_TEXT_SIZE];
    char password[SETTING_TEXT_SIZE];
    char check_time[SETTING_TEXT_SIZE];
    char mailer_path[MAILER_PATH_SIZE];
    int sound_on;
    // The server signs in with OAuth2: an empty password means sign-in.
    bool signs_in;
};

// Each returns nullptr for acceptance, or the one warning to show.
const char* check_settings_entry(const SettingsEntry* entry);
// Settings form: the record is written only on acceptance.
const char* accept_settings_entry(const SettingsEntry* entry);
// Setup form: the texts reach the record (check time "300") before the rules
// run; the sound switch only on acceptance.
const char* accept_setup_entry(const SettingsEntry* entry);
