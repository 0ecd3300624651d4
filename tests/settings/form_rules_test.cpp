// The rules of the two settings forms and what each writes into the record.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "settings/form_rules.h"
#include "tests/support/settings_record.h"

namespace {

const char* const NO_SERVER = "POPサーバー名が入力されていません";
const char* const NO_ACCOUNT = "アカウントが入力されていません";
const char* const NO_PASSWORD = "パスワードが入力されていません";
const char* const NO_CHECK_TIME = "チェックタイムが入力されていません";
const char* const CHECK_TIME_UNDER_30 = "チェックタイムを30秒以上にして下さい";
const char* const NO_MAILER = "メーラーパスが入力されていません";

SettingsEntry entry(const char* server, const char* account, const char* password,
                    const char* check_time, const char* mailer, int sound = 1)
{
    SettingsEntry e = {};
    strcpy(e.pop_server, server);
    strcpy(e.account, account);
    strcpy(e.password, password);
    strcpy(e.check_time, check_time);
    strcpy(e.mailer_path, mailer);
    e.sound_on = sound;
    return e;
}

std::string warning_of(const char* w) { return w ? w : "<accepted>"; }

UserSettings stored_before()
{
    return settings_record({"old.example.jp", "old", "oldpw", "600", "/Old/mail.exe"});
}

} // namespace

TEST(FormRules, WarningEncodingIsCodePage932)
{
    // The rules' own text, byte for byte (the 30 is in ASCII digits); the
    // expectation is in hex so this file's compilation cannot change it.
    SettingsEntry short_time = entry("pop", "a", "p", "20", "m");
    EXPECT_STREQ(check_settings_entry(&short_time),
                 "\x83\x60\x83\x46\x83\x62\x83\x4E\x83\x5E\x83\x43\x83\x80\x82\xF0"
                 "\x33\x30\x95\x62\x88\xC8\x8F\xE3\x82\xC9\x82\xB5\x82\xC4\x89\xBA\x82\xB3\x82\xA2");
}

TEST(FormRules, FirstFailingRuleOnly)
{
    struct Row { SettingsEntry e; const char* warning; } rows[] = {
        {entry("", "", "", "", ""), NO_SERVER},
        {entry("pop", "", "", "", ""), NO_ACCOUNT},
        {entry("pop", "a", "", "", ""), NO_PASSWORD},
        {entry("pop", "a", "p", "", ""), NO_CHECK_TIME},
        {entry("pop", "a", "p", "20", ""), CHECK_TIME_UNDER_30},
        {entry("pop", "a", "p", "300", ""), NO_MAILER},
        {entry("pop", "a", "p", "300", "m.exe"), nullptr},
        {entry("", "a", "p", "300", "m.exe"), NO_SERVER},
        // The check time, converted like the timer converts it.
        {entry("pop", "a", "p", "30", "m"), nullptr},
        {entry("pop", "a", "p", "29", "m"), CHECK_TIME_UNDER_30},
        {entry("pop", "a", "p", "+30", "m"), nullptr},
        {entry("pop", "a", "p", "-45", "m"), CHECK_TIME_UNDER_30},
        {entry("pop", "a", "p", "abc", "m"), CHECK_TIME_UNDER_30},
        {entry("pop", "a", "p", " ", "m"), CHECK_TIME_UNDER_30},
        {entry("pop", "a", "p", " 60", "m"), nullptr},
        {entry("pop", "a", "p", "60秒", "m"), nullptr},
        {entry("pop", "a", "p", "３０", "m"), CHECK_TIME_UNDER_30},
        {entry("pop", "a", "p", "3e2", "m"), CHECK_TIME_UNDER_30},
        {entry("pop", "a", "p", "0x40", "m"), CHECK_TIME_UNDER_30},
        {entry("pop", "a", "p", "86400", "m"), nullptr},
        // A sign-in server: the empty password signs in; nothing else is waived.
        {[] { SettingsEntry e = entry("outlook.office365.com", "a", "", "300", "m"); e.signs_in = true; return e; }(),
         nullptr},
        {[] { SettingsEntry e = entry("outlook.office365.com", "a", "", "", "m"); e.signs_in = true; return e; }(),
         NO_CHECK_TIME},
        {entry("pop", "a", "p", "4294967326", "m"), nullptr},   // wraps to 30
        {entry("pop ", "a", "p", "300", "m"), nullptr},
    };
    for (const Row& row : rows)
        EXPECT_EQ(warning_of(check_settings_entry(&row.e)), warning_of(row.warning))
            << row.e.pop_server << "|" << row.e.account << "|" << row.e.check_time;
}

TEST(FormRules, SettingsFormWritesOnlyOnAcceptance)
{
    user_settings = stored_before();
    SettingsEntry refused = entry("new", "acct", "pw", "20", "/New/mail.exe", 0);
    EXPECT_EQ(warning_of(accept_settings_entry(&refused)), CHECK_TIME_UNDER_30);
    UserSettings expected = stored_before();
    EXPECT_EQ(memcmp(&user_settings, &expected, sizeof expected), 0);

    SettingsEntry accepted = entry("new ", "acct", "pw", " 60", "C:\\Mail\\mail.exe", 0);
    EXPECT_EQ(accept_settings_entry(&accepted), nullptr);
    EXPECT_STREQ(user_settings.pop_server, "new ");            // byte for byte
    EXPECT_STREQ(user_settings.check_time, " 60");
    EXPECT_STREQ(user_settings.mailer_path, "C:\\Mail\\mail.exe");
    EXPECT_EQ(user_settings.sound_on, 0);
}

TEST(FormRules, SetupFormWritesTextsFirstAndSoundOnlyOnAcceptance)
{
    struct Row { SettingsEntry e; const char* warning; } rows[] = {
        {entry("", "acct", "pw", "", "/M/mail.exe", 0), NO_SERVER},
        {entry("pop", "", "", "", "/M/mail.exe", 0), NO_ACCOUNT},
        {entry("pop", "acct", "", "", "/M/mail.exe", 0), NO_PASSWORD},
        {entry("pop", "acct", "pw", "", "", 0), NO_MAILER},   // the setup form asks no check time
    };
    for (const Row& row : rows) {
        user_settings = stored_before();
        EXPECT_EQ(warning_of(accept_setup_entry(&row.e)), row.warning);
        EXPECT_STREQ(user_settings.pop_server, row.e.pop_server);
        EXPECT_STREQ(user_settings.account, row.e.account);
        EXPECT_STREQ(user_settings.password, row.e.password);
        EXPECT_STREQ(user_settings.mailer_path, row.e.mailer_path);
        EXPECT_STREQ(user_settings.check_time, "300");
        EXPECT_EQ(user_settings.sound_on, 1);   // unchanged by a refusal
    }
    user_settings = stored_before();
    SettingsEntry accepted = entry("pop", "acct", "pw", "", "/M/mail.exe", 0);
    EXPECT_EQ(accept_setup_entry(&accepted), nullptr);
    EXPECT_STREQ(user_settings.check_time, "300");
    EXPECT_EQ(user_settings.sound_on, 0);
}
