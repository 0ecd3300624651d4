// The user.ini format, program path form and decimal parsing.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "settings/user_settings.h"
#include "tests/support/settings_record.h"

namespace {

UserSettings read_bytes(const std::string& bytes)
{
    UserSettings settings = {};
    FILE* stream = bytes.empty() ? fopen("/dev/null", "rb")
                                 : fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    read_settings_stream(stream, &settings);
    fclose(stream);
    return settings;
}

std::string write_bytes(const UserSettings& settings, int* ok = nullptr)
{
    char* data = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    int result = write_settings_stream(stream, &settings);
    fclose(stream);
    std::string bytes(data, size);
    free(data);
    if (ok)
        *ok = result;
    return bytes;
}

UserSettings sample() { return settings_record({"pop.example.jp", "taro", "p@ss word"}); }

} // namespace

TEST(ParseDecimal, Table)
{
    struct Row { const char* text; int32_t value; } rows[] = {
        {"300", 300}, {" 60", 60}, {"\t\n\v\f\r 60", 60}, {"60abc", 60}, {"60秒", 60},
        {"+30", 30}, {"-45", -45}, {"abc", 0}, {"3e2", 3}, {"0x40", 0},
        {"３０", 0}, {"", 0}, {" ", 0}, {"+", 0}, {"-", 0}, {"+-5", 0}, {"- 5", 0},
        {"2147483647", 2147483647}, {"2147483648", INT32_MIN}, {"4294967295", -1},
        {"4294967296", 0}, {"12345678901", -539222987}, {"-2147483648", INT32_MIN},
        {"007", 7},
    };
    for (const Row& row : rows)
        EXPECT_EQ(parse_decimal(row.text), row.value) << "text: " << row.text;
}

TEST(ProgramPath, Table)
{
    struct Row { const char* path; const char* form; } rows[] = {
        {"C:\\Tools\\Quillbeam", "/Tools/Quillbeam"},
        {"C:\\Program Files\\Mail\\mail.exe", "/Program Files/Mail/mail.exe"},
        {"C:\\", "/"},
        {"/already\\mixed\\path", "/already/mixed/path"},
        {"/", "/"},
        {"x", ""},
        {"", ""},
        {"D:", ""},
        {"d:\\MiXeD\\Case", "/MiXeD/Case"},
        // ソ is 0x83 0x5C: its trail byte is not a path separator.
        {"C:\\ソフト\\mail.exe", "/ソフト/mail.exe"},
        {"C:\\表\\予定", "/表/予定"},
        // A lead byte at the very end has no trail to protect.
        {"C:\\a\x83", "/a\x83"},
        // A network path names no drive and stays whole.
        {"\\\\server\\share\\dir", "\\\\server\\share\\dir"},
    };
    for (const Row& row : rows) {
        char buffer[MAILER_PATH_SIZE];
        strcpy(buffer, row.path);
        EXPECT_EQ(to_program_path(buffer), 1);
        EXPECT_STREQ(buffer, row.form) << "path: " << row.path;
    }
}

TEST(SettingsPath, JoinsDirectoryAndName)
{
    struct Row { const char* directory; const char* path; } rows[] = {
        {"/Tools/Quillbeam", "/Tools/Quillbeam/user.ini"},
        {"/", "/user.ini"},           // a drive's root, not //user.ini
        {"/ソ", "/ソ/user.ini"},
        {"\\\\server\\share\\dir", "\\\\server\\share\\dir\\user.ini"},
        {"\\\\server\\share\\", "\\\\server\\share\\user.ini"},
    };
    for (const Row& row : rows) {
        char out[SETTINGS_PATH_SIZE];
        EXPECT_EQ(join_settings_path(row.directory, out, sizeof out), 1);
        EXPECT_STREQ(out, row.path);
    }
}

TEST(MailerPath, DriveLessOnlyOnTheCurrentDrive)
{
    struct Row { const char* chosen; const char* directory; const char* kept; } rows[] = {
        {"C:\\Mail\\mail.exe", "C:\\Tools\\Quillbeam", "/Mail/mail.exe"},
        {"e:\\Mail\\mail.exe", "E:\\", "/Mail/mail.exe"},
        {"D:\\Mail\\mail.exe", "C:\\Tools\\Quillbeam", "D:\\Mail\\mail.exe"},
        {"\\\\server\\apps\\mail.exe", "C:\\Tools", "\\\\server\\apps\\mail.exe"},
        {"\\\\server\\apps\\mail.exe", "\\\\server\\apps", "\\\\server\\apps\\mail.exe"},
        {"C:\\Mail\\mail.exe", "\\\\server\\apps", "C:\\Mail\\mail.exe"},
        {"C:\\Mail\\mail.exe", "", "C:\\Mail\\mail.exe"},
    };
    for (const Row& row : rows) {
        char buffer[MAILER_PATH_SIZE];
        strcpy(buffer, row.chosen);
        EXPECT_EQ(to_mailer_path(buffer, row.directory), 1);
        EXPECT_STREQ(buffer, row.kept) << row.chosen << " from " << row.directory;
    }
}

TEST(SettingsPath, RefusesWhatDoesNotFit)
{
    std::string directory = "/" + std::string(250, 'd');   // + "/user.ini" = 260 bytes
    char out[SETTINGS_PATH_SIZE];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(join_settings_path(directory.c_str(), out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    directory.pop_back();   // 259 bytes with the name: fits exactly
    EXPECT_EQ(join_settings_path(directory.c_str(), out, sizeof out), 1);
    EXPECT_EQ(strlen(out), SETTINGS_PATH_SIZE - 1);
}

TEST(SettingsFile, WritesSixCrLfLines)
{
    UserSettings s = sample();
    int ok = 0;
    EXPECT_EQ(write_bytes(s, &ok),
              "pop.example.jp\r\ntaro\r\np@ss word\r\n300\r\n/Program Files/Mail/mail.exe\r\nON\r\n");
    EXPECT_EQ(ok, 1);
    s.sound_on = 0;
    EXPECT_EQ(write_bytes(s), "pop.example.jp\r\ntaro\r\np@ss word\r\n300\r\n/Program Files/Mail/mail.exe\r\nOFF\r\n");
    UserSettings empty = {};
    EXPECT_EQ(write_bytes(empty), "\r\n\r\n\r\n\r\n\r\nOFF\r\n");
}

TEST(SettingsFile, ReportsFailedWrites)
{
    FILE* full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    UserSettings s = sample();
    EXPECT_EQ(write_settings_stream(full, &s), 0);
    fclose(full);
}

TEST(SettingsFile, RoundTripKeepsEveryValue)
{
    UserSettings s = sample();
    strcpy(s.account, "ユーザー\\名");   // trail byte 0x5C and a backslash survive
    UserSettings back = read_bytes(write_bytes(s));
    EXPECT_EQ(memcmp(&back, &s, sizeof s), 0);
    // Values at full capacity come back whole.
    UserSettings full = {};
    memset(full.pop_server, 's', SETTING_TEXT_SIZE - 1);
    memset(full.account, 'a', SETTING_TEXT_SIZE - 1);
    memset(full.password, 'p', SETTING_TEXT_SIZE - 1);
    memset(full.check_time, '9', SETTING_TEXT_SIZE - 1);
    memset(full.mailer_path, 'm', MAILER_PATH_SIZE - 1);
    full.sound_on = 1;
    back = read_bytes(write_bytes(full));
    EXPECT_EQ(memcmp(&back, &full, sizeof full), 0);
}

TEST(SettingsFile, ReadsByTheByteRules)
{
    struct Row {
        const char* name;
        std::string bytes;
        const char* server; const char* account; const char* password;
        const char* check_time; const char* mailer; int sound;
    } rows[] = {
        {"crlf", "a\r\nb\r\nc\r\n60\r\nm.exe\r\nON\r\n", "a", "b", "c", "60", "m.exe", 1},
        {"lone lf", "a\nb\nc\n60\nm.exe\nON\n", "a", "b", "c", "60", "m.exe", 1},
        {"lone cr kept", "a\rx\r\nb\r\nc\r\n60\r\nm.exe\r\nON\r\r\n", "a\rx", "b", "c", "60", "m.exe", 0},
        {"ctrl-z ends", "a\r\nb\x1A\r\nc\r\n60\r\n", "a", "b", "", "", "", 0},
        {"ctrl-z after ON", "a\nb\nc\n60\nm\nON\x1Agarbage", "a", "b", "c", "60", "m", 1},
        {"short file", "a\r\nb\r\n", "a", "b", "", "", "", 0},
        {"empty file", "", "", "", "", "", "", 0},
        {"empty lines", "\r\n\r\n\r\n\r\n\r\nON\r\n", "", "", "", "", "", 1},
        {"no final newline", "a\nb\nc\n60\n/Mail/mail.exe", "a", "b", "c", "60", "/Mail/mail.exe", 0},
        {"ON at end of file", "a\nb\nc\n60\nm\nON", "a", "b", "c", "60", "m", 1},
        {"lower-case on", "a\nb\nc\n60\nm\non\n", "a", "b", "c", "60", "m", 0},
        {"ON and blank", "a\nb\nc\n60\nm\nON \n", "a", "b", "c", "60", "m", 0},
        {"OFF", "a\nb\nc\n60\nm\nOFF\n", "a", "b", "c", "60", "m", 0},
        {"more than six lines", "a\nb\nc\n60\nm\nON\nextra\nlines\n", "a", "b", "c", "60", "m", 1},
        {"text for a number", "a\nb\nc\nsoon\nm\nON\n", "a", "b", "c", "soon", "m", 1},
    };
    for (const Row& row : rows) {
        UserSettings s = read_bytes(row.bytes);
        EXPECT_STREQ(s.pop_server, row.server) << row.name;
        EXPECT_STREQ(s.account, row.account) << row.name;
        EXPECT_STREQ(s.password, row.password) << row.name;
        EXPECT_STREQ(s.check_time, row.check_time) << row.name;
        EXPECT_STREQ(s.mailer_path, row.mailer) << row.name;
        EXPECT_EQ(s.sound_on, row.sound) << row.name;
    }
}

TEST(SettingsFile, OverLongLinesAreCutAndTheRestStaysAligned)
{
    std::string server(1000, 's');
    std::string mailer(400, 'm');
    std::string sound_line = "ON" + std::string(100, ' ');
    UserSettings s = read_bytes(server + "\r\nacct\r\npw\r\n" + std::string(300, '7') + "\n"
                                + mailer + "\r\n" + sound_line + "\r\n");
    EXPECT_EQ(std::string(s.pop_server), server.substr(0, SETTING_TEXT_SIZE - 1));
    EXPECT_STREQ(s.account, "acct");
    EXPECT_STREQ(s.password, "pw");
    EXPECT_EQ(std::string(s.check_time), std::string(SETTING_TEXT_SIZE - 1, '7'));
    EXPECT_EQ(std::string(s.mailer_path), mailer.substr(0, MAILER_PATH_SIZE - 1));
    EXPECT_EQ(s.sound_on, 0);

    // A line of exactly the capacity and its CR LF stays whole and aligned.
    std::string exact(SETTING_TEXT_SIZE - 1, 'e');
    s = read_bytes(exact + "\r\nb\r\nc\r\n60\r\nm\r\nON\r\n");
    EXPECT_EQ(std::string(s.pop_server), exact);
    EXPECT_STREQ(s.account, "b");
    EXPECT_EQ(s.sound_on, 1);
}

TEST(SettingsFile, CutNeverSplitsADoubleByteCharacter)
{
    // 253 single bytes then 表 (two bytes): the character does not fit in 254.
    std::string line = std::string(SETTING_TEXT_SIZE - 2, 'x') + "表" + "tail";
    UserSettings s = read_bytes(line + "\n");
    EXPECT_EQ(std::string(s.pop_server), std::string(SETTING_TEXT_SIZE - 2, 'x'));

    char out[8];
    EXPECT_EQ(copy_text(out, sizeof out, "abcdef表"), 6u);
    EXPECT_STREQ(out, "abcdef");
    EXPECT_EQ(copy_text(out, sizeof out, "abcde表"), 7u);
}
