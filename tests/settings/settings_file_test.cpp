// user.ini on disk: exact bytes, the hidden attribute, and no lost settings
// when a save fails.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include <windows.h>
#include <sddl.h>

#include "settings/settings_file.h"
#include "settings/user_settings.h"
#include "tests/support/import_redirect.h"
#include "tests/support/message_box_hook.h"
#include "tests/support/settings_record.h"
#include "tests/support/test_files.h"

// Every CreateFileA of the program passes through here: Wine keeps no file
// DACL, so the descriptor handed over is what can be checked.
extern "C" HANDLE(WINAPI* create_file_slot)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
    IMPORT_SLOT(CreateFileA, 28);

namespace {

// The access list of each file made to replace user.ini, as SDDL ("" for none).
std::vector<std::string> access_lists;
DWORD volume_refusal;   // what the volume answers a descriptor; 0: it takes it
DWORD read_refusal;     // what opening user.ini to read answers; 0: it opens
HANDLE(WINAPI* real_create_file)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);

HANDLE WINAPI recording_create_file(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templ)
{
    const std::string name = path;
    if (read_refusal != 0 && access == GENERIC_READ && name.size() > 8
        && name.compare(name.size() - 8, 8, "user.ini") == 0) {
        SetLastError(read_refusal);
        return INVALID_HANDLE_VALUE;
    }
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0) {
        char* sddl = nullptr;
        if (security != nullptr && security->lpSecurityDescriptor != nullptr)
            ConvertSecurityDescriptorToStringSecurityDescriptorA(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                                 DACL_SECURITY_INFORMATION, &sddl, nullptr);
        access_lists.push_back(sddl != nullptr ? sddl : "");
        LocalFree(sddl);
        if (sddl != nullptr && volume_refusal != 0) {
            SetLastError(volume_refusal);
            return INVALID_HANDLE_VALUE;
        }
    }
    return real_create_file(path, access, share, security, disposition, flags, templ);
}

// This user's SID in SDDL's form.
std::string current_user()
{
    HANDLE token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    alignas(8) BYTE user[256];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    char* sid = nullptr;
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
    const std::string text = sid != nullptr ? sid : "?";
    LocalFree(sid);
    return text;
}

const char SAVED[] = "pop.example.jp\r\ntaro\r\nsecret\r\n300\r\n/Mail/mail.exe\r\nON\r\n";
const RecordTexts FILLED = {"pop.example.jp", "taro", "secret", "300", "/Mail/mail.exe", 1};   // SAVED

class SettingsFile : public testing::Test {
protected:
    void SetUp() override
    {
        GetCurrentDirectoryA(sizeof previous_directory, previous_directory);
        folder = make_scratch_folder(testing::UnitTest::GetInstance()->current_test_info()->name());
        SetCurrentDirectoryA(folder.c_str());
        ini = folder + "\\user.ini";
        memset(&user_settings, 0, sizeof user_settings);
        memset(settings_path, 0, sizeof settings_path);
    }
    void TearDown() override { SetCurrentDirectoryA(previous_directory); }

    // Loads a prepared file, which also fixes settings_path for the saves.
    void load(const std::string& bytes)
    {
        ASSERT_TRUE(write_file_bytes(ini, bytes));
        MessageBoxHook hook;
        ASSERT_EQ(load_settings(nullptr), 1);
        ASSERT_TRUE(hook.boxes.empty());
    }

    char previous_directory[MAX_PATH];
    std::string folder;
    std::string ini;
};

} // namespace

TEST_F(SettingsFile, LoadsFromTheWorkingDirectoryInProgramPathForm)
{
    load("pop\r\nacct\r\npw\r\n45abc\r\nC:\\Mail\\mail.exe\r\nON\r\n");
    EXPECT_EQ(std::string(settings_path), program_path_of(folder) + "/user.ini");
    EXPECT_STREQ(user_settings.pop_server, "pop");
    EXPECT_STREQ(user_settings.check_time, "45abc");
    EXPECT_STREQ(user_settings.mailer_path, "C:\\Mail\\mail.exe");   // as typed
    EXPECT_EQ(user_settings.sound_on, 1);
}

TEST_F(SettingsFile, SaveWritesSixCrLfLinesHidden)
{
    load("old\r\n");
    user_settings = settings_record(FILLED);
    MessageBoxHook hook;
    EXPECT_EQ(save_settings(nullptr), 1);
    EXPECT_TRUE(hook.boxes.empty());
    EXPECT_EQ(read_file_bytes(ini), SAVED);
    DWORD attributes = GetFileAttributesA(ini.c_str());
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_READONLY);
    // The record keeps its values, no line end attached.
    EXPECT_STREQ(user_settings.mailer_path, "/Mail/mail.exe");
    // Nothing is left beside the file.
    EXPECT_EQ(GetFileAttributesA((ini + ".new").c_str()), INVALID_FILE_ATTRIBUTES);

    // Saving over the now hidden file works the same way.
    strcpy(user_settings.check_time, "60");
    user_settings.sound_on = 0;
    EXPECT_EQ(save_settings(nullptr), 1);
    EXPECT_EQ(read_file_bytes(ini),
              "pop.example.jp\r\ntaro\r\nsecret\r\n60\r\n/Mail/mail.exe\r\nOFF\r\n");
    EXPECT_TRUE(GetFileAttributesA(ini.c_str()) & FILE_ATTRIBUTE_HIDDEN);

    // And what was saved loads back.
    memset(&user_settings, 0, sizeof user_settings);
    ASSERT_EQ(load_settings(nullptr), 1);
    EXPECT_STREQ(user_settings.pop_server, "pop.example.jp");
    EXPECT_STREQ(user_settings.check_time, "60");
    EXPECT_EQ(user_settings.sound_on, 0);
}

// The password inside is for this user alone, from the file's first
// moment; a volume that cannot keep the descriptor still gets the save,
// and no other refusal makes it go without one.
TEST_F(SettingsFile, SavedFileIsReadableByItsOwnerAlone)
{
    if (real_create_file == nullptr)
        real_create_file = redirect_import(&create_file_slot, recording_create_file);
    // Protected (the folder's grants do not reach it): full control for
    // this user and SYSTEM, nothing for anybody else.
    const std::string owner_only = "D:P(A;;FA;;;" + current_user() + ")(A;;FA;;;SY)";
    const struct { const char* name; DWORD refusal; bool saved; std::vector<std::string> made; } rows[] = {
        {"the volume takes the descriptor", 0, true, {owner_only}},
        {"the volume cannot keep descriptors", ERROR_NOT_SUPPORTED, true, {owner_only, ""}},
        {"access denied: no save without it", ERROR_ACCESS_DENIED, false, {owner_only}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        load("old\r\n");
        user_settings = settings_record(FILLED);
        access_lists.clear();
        volume_refusal = row.refusal;
        MessageBoxHook hook;
        EXPECT_EQ(save_settings(nullptr), row.saved ? 1 : 0);
        volume_refusal = 0;
        EXPECT_EQ(hook.boxes.size(), row.saved ? 0u : 1u);
        EXPECT_EQ(read_file_bytes(ini), row.saved ? SAVED : "old\r\n");
        EXPECT_EQ(access_lists, row.made);
    }
}

// Another Windows user's user.ini in a shared folder: said so, and never
// taken for a first run whose setup would overwrite it.
TEST_F(SettingsFile, AnotherUsersFileIsNeitherReadNorReplaced)
{
    if (real_create_file == nullptr)
        real_create_file = redirect_import(&create_file_slot, recording_create_file);
    ASSERT_TRUE(write_file_bytes(ini, SAVED));
    read_refusal = ERROR_ACCESS_DENIED;
    MessageBoxHook hook;
    EXPECT_EQ(load_settings(nullptr), 0);
    read_refusal = 0;
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text.rfind(ini + "\r\nは別のWindowsユーザーの設定ファイル", 0), 0u) << hook.boxes[0].text;
    EXPECT_EQ(hook.boxes[0].caption, "Error");
    EXPECT_EQ(read_file_bytes(ini), SAVED);
    EXPECT_EQ(user_settings.pop_server[0], '\0');
}

// Held open without sharing (a sync client, a backup): no first run whose
// setup would overwrite it; the file named with what Windows said.
TEST_F(SettingsFile, AFileHeldByAnotherProgramIsNoFirstRun)
{
    ASSERT_TRUE(write_file_bytes(ini, SAVED));
    const HANDLE held = CreateFileA(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    MessageBoxHook hook;
    EXPECT_EQ(load_settings(nullptr), 0);
    CloseHandle(held);
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text.rfind(ini + "\r\nを開けませんでした。\r\n", 0), 0u) << hook.boxes[0].text;
    EXPECT_GT(hook.boxes[0].text.size(), ini.size() + 40) << "what Windows said is missing";
    EXPECT_EQ(read_file_bytes(ini), SAVED);
    EXPECT_EQ(user_settings.pop_server[0], '\0');
}

TEST_F(SettingsFile, FailedSaveKeepsTheOldFileAsTheUserMadeIt)
{
    const struct { const char* name; DWORD attributes; bool held; } rows[] = {
        // Another program holds the file open without sharing.
        {"held open", FILE_ATTRIBUTE_HIDDEN, true},
        {"read-only", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, false},
    };
    HWND owner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                 nullptr, nullptr);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        load(SAVED);
        ASSERT_TRUE(SetFileAttributesA(ini.c_str(), row.attributes));
        HANDLE held = row.held ? CreateFileA(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                               : nullptr;
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        strcpy(user_settings.password, "changed");
        MessageBoxHook hook;
        EXPECT_EQ(save_settings(owner), 0);
        if (held != nullptr)
            CloseHandle(held);
        expect_one_error_box(hook, "User file create error", owner);
        EXPECT_EQ(read_file_bytes(ini), SAVED);
        EXPECT_EQ(GetFileAttributesA(ini.c_str()) & row.attributes, row.attributes);
        EXPECT_STREQ(user_settings.password, "changed");   // the program runs on the new value
        EXPECT_EQ(GetFileAttributesA((ini + ".new").c_str()), INVALID_FILE_ATTRIBUTES);
        SetFileAttributesA(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    DestroyWindow(owner);
}

TEST_F(SettingsFile, SaveIntoAFolderNamedUserIniFails)
{
    load(SAVED);
    remove_file(ini);
    ASSERT_TRUE(CreateDirectoryA(ini.c_str(), nullptr));
    ASSERT_TRUE(write_file_bytes(ini + "\\keep.txt", "mine"));
    user_settings = settings_record(FILLED);
    MessageBoxHook hook;
    EXPECT_EQ(save_settings(nullptr), 0);
    expect_one_error_box(hook, "User file create error", nullptr);
    EXPECT_EQ(read_file_bytes(ini + "\\keep.txt"), "mine");
    remove_file(ini + "\\keep.txt");
    RemoveDirectoryA(ini.c_str());
}

TEST_F(SettingsFile, DriveRootGivesSlashUserIni)
{
    char root[MAX_PATH];
    GetCurrentDirectoryA(sizeof root, root);
    root[3] = '\0';   // "C:\"
    ASSERT_TRUE(SetCurrentDirectoryA(root));
    std::string root_ini = std::string(root) + "user.ini";
    const KeptFile before = keep_file(root_ini);
    ASSERT_TRUE(write_file_bytes(root_ini, SAVED));
    MessageBoxHook hook;
    EXPECT_EQ(load_settings(nullptr), 1);
    EXPECT_STREQ(settings_path, "/user.ini");
    EXPECT_STREQ(user_settings.pop_server, "pop.example.jp");
    strcpy(user_settings.account, "hanako");
    EXPECT_EQ(save_settings(nullptr), 1);
    EXPECT_EQ(read_file_bytes(root_ini),
              "pop.example.jp\r\nhanako\r\nsecret\r\n300\r\n/Mail/mail.exe\r\nON\r\n");
    EXPECT_TRUE(hook.boxes.empty());
    put_back(before);
}

TEST_F(SettingsFile, MissingFileWithoutSetupDialogEndsStartUp)
{
    // No dialog template can be found in this test program, so the setup
    // dialog cannot be created (-1): start-up must not go on.
    MessageBoxHook hook;
    EXPECT_EQ(load_settings(nullptr), 0);
    EXPECT_EQ(user_settings.pop_server[0], '\0');
}
