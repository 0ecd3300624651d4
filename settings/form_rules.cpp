#include "settings/form_rules.h"

#include <string.h>

const char* check_settings_entry(const SettingsEntry* entry)
{
    if (entry->pop_server[0] == '\0')
        return "POPサーバー名が入力されていません";
    if (entry->account[0] == '\0')
        return "アカウントが入力されていません";
    if (entry->password[0] == '\0' && !entry->signs_in)
        return "パスワードが入力されていません";
    if (entry->check_time[0] == '\0')
        return "チェックタイムが入力されていません";
    if (parse_decimal(entry->check_time) < MIN_CHECK_TIME)
        return "チェックタイムを30秒以上にして下さい";
    if (entry->mailer_path[0] == '\0')
        return "メーラーパスが入力されていません";
    return nullptr;
}

const char* accept_settings_entry(const SettingsEntry* entry)
{
    const char* warning = check_settings_entry(entry);
    if (warning != nullptr)
        return warning;
    copy_text(user_settings.pop_server, sizeof user_settings.pop_server, entry->pop_server);
    copy_text(user_settings.account, sizeof user_settings.account, entry->account);
    copy_text(user_settings.password, sizeof user_settings.password, entry->password);
    copy_text(user_settings.check_time, sizeof user_settings.check_time, entry->check_time);
    copy_text(user_settings.mailer_path, sizeof user_settings.mailer_path, entry->mailer_path);
    user_settings.sound_on = entry->sound_on ? 1 : 0;
    return nullptr;
}

const char* accept_setup_entry(const SettingsEntry* entry)
{
    copy_text(user_settings.pop_server, sizeof user_settings.pop_server, entry->pop_server);
    copy_text(user_settings.account, sizeof user_settings.account, entry->account);
    copy_text(user_settings.password, sizeof user_settings.password, entry->password);
    copy_text(user_settings.mailer_path, sizeof user_settings.mailer_path, entry->mailer_path);
    copy_text(user_settings.check_time, sizeof user_settings.check_time, SETUP_CHECK_TIME);

    SettingsEntry stored;
    memcpy(stored.pop_server, user_settings.pop_server, sizeof stored.pop_server);
    memcpy(stored.account, user_settings.account, sizeof stored.account);
    memcpy(stored.password, user_settings.password, sizeof stored.password);
    memcpy(stored.check_time, user_settings.check_time, sizeof stored.check_time);
    memcpy(stored.mailer_path, user_settings.mailer_path, sizeof stored.mailer_path);
    stored.sound_on = entry->sound_on;
    stored.signs_in = entry->signs_in;
    const char* warning = check_settings_entry(&stored);
    if (warning != nullptr)
        return warning;
    user_settings.sound_on = entry->sound_on ? 1 : 0;
    return nullptr;
}
