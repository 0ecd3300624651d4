// The setup and settings dialogs driven as a user would, and the shell
// services they use: the Startup shortcut, the file chooser, the mailer.
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <functional>
#include <map>

#include "app/app.h"
#include "dialogs/dialogs.h"
#include "mailcheck/mail_check.h"
#include "resources/resource.h"
#include "resources/version.h"
#include "settings/settings_file.h"
#include "settings/user_settings.h"
#include "shell/shell.h"
#include "signin/sign_in.h"
#include "tests/support/message_box_hook.h"
#include "tests/support/pop3_script_server.h"
#include "tests/support/test_files.h"

namespace {

// The file chooser finishes setting itself up after it shows; the name is
// typed a moment later, as a user would, then confirmed.
std::string file_to_choose;

void CALLBACK type_file_name(HWND chooser, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(chooser, timer);
    HWND box = GetFocus();   // the file name box has the focus when the chooser opens
    for (char c : file_to_choose)
        PostMessageA(box, WM_CHAR, static_cast<unsigned char>(c), 0);
    PostMessageA(box, WM_KEYDOWN, VK_RETURN, 0);
}

void choose_file_soon(HWND chooser, const std::string& file)
{
    file_to_choose = file;
    SetTimer(chooser, 1, 300, type_file_name);
}

// Steps that wait for something (the chooser to close) poll on a timer of
// the dialog that waits: a closed chooser does not always reactivate it.
std::function<bool(HWND)> poll_step;

void CALLBACK poll(HWND dialog, UINT, UINT_PTR timer, DWORD)
{
    if (poll_step && poll_step(dialog))
        KillTimer(dialog, timer);
}

void poll_until(HWND dialog, std::function<bool(HWND)> step)
{
    poll_step = std::move(step);
    SetTimer(dialog, 2, 100, poll);
}

const char* const NO_SERVER = "POPサーバー名が入力されていません";
const char* const NO_ACCOUNT = "アカウントが入力されていません";
const char* const CHECK_TIME_UNDER_30 = "チェックタイムを30秒以上にして下さい";

void set_text(HWND dialog, int id, const std::string& text)
{
    SetWindowTextA(GetDlgItem(dialog, id), text.c_str());
}
std::string text_of(HWND dialog, int id) { return window_text(GetDlgItem(dialog, id)); }
void click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
void key(HWND dialog, int id, WPARAM vk) { PostMessageA(GetDlgItem(dialog, id), WM_KEYDOWN, vk, 0); }
bool checked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

std::string startup_link()
{
    char folder[MAX_PATH] = "";
    SHGetSpecialFolderPathA(nullptr, folder, CSIDL_STARTUP, TRUE);
    return std::string(folder) + "\\" QB_NAME_AND_VERSION ".lnk";
}

std::string module_path()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

std::string current_directory()
{
    char path[MAX_PATH];
    GetCurrentDirectoryA(sizeof path, path);
    return path;
}

struct Shortcut { std::string path, description, arguments, directory, icon; int icon_index, show; };

bool read_shortcut(const std::string& file, Shortcut* out)
{
    CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    IPersistFile* persist = nullptr;
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IShellLinkA, reinterpret_cast<void**>(&link)))
        && SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)));
    if (ok) {
        WCHAR wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
        ok = SUCCEEDED(persist->Load(wide, STGM_READ));
    }
    if (ok) {
        char text[MAX_PATH];
        link->GetPath(text, sizeof text, nullptr, 0);
        out->path = text;
        link->GetDescription(text, sizeof text);
        out->description = text;
        link->GetArguments(text, sizeof text);
        out->arguments = text;
        link->GetWorkingDirectory(text, sizeof text);
        out->directory = text;
        link->GetIconLocation(text, sizeof text, &out->icon_index);
        out->icon = text;
        link->GetShowCmd(&out->show);
    }
    if (persist)
        persist->Release();
    if (link)
        link->Release();
    CoUninitialize();
    return ok;
}

// Runs the given steps each time a window with this caption activates; the
// second argument counts the activations (1 when it first shows). A modal
// dialog is activated before it is shown (it shows when its queue first
// empties, later on a loaded machine): a user acts on it only once it is on
// the screen, so the first activation waits for that.
class DialogDriver {
public:
    DialogDriver(const std::string& caption, std::function<void(HWND, int)> act)
        : act_(std::move(act)), hook([this, caption](HWND w) {
              if (is_message_box(w) || window_text(w) != caption)
                  return false;
              if (IsWindowVisible(w)) {
                  act_(w, ++activations[w]);
              } else {
                  SetPropA(w, "DialogDriver", this);
                  SetTimer(w, 3, 20, act_once_shown);
              }
              return true;
          })
    {
    }
    std::map<HWND, int> activations;

private:
    static void CALLBACK act_once_shown(HWND w, UINT, UINT_PTR timer, DWORD)
    {
        if (!IsWindowVisible(w))
            return;
        KillTimer(w, timer);
        auto* driver = static_cast<DialogDriver*>(RemovePropA(w, "DialogDriver"));
        driver->act_(w, ++driver->activations[w]);
    }
    std::function<void(HWND, int)> act_;

public:
    MessageBoxHook hook;
};

class Dialogs : public testing::Test {
protected:
    void SetUp() override
    {
        module_instance = GetModuleHandleA(nullptr);
        main_window = CreateWindowExA(0, "STATIC", "main", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                      nullptr, nullptr);
        previous = current_directory();
        folder = make_scratch_folder(testing::UnitTest::GetInstance()->current_test_info()->name());
        SetCurrentDirectoryA(folder.c_str());
        ini = folder + "\\user.ini";
        memset(&user_settings, 0, sizeof user_settings);
        memset(settings_path, 0, sizeof settings_path);
        user_link = keep_file(startup_link());
        remove_file(startup_link());
    }
    void TearDown() override
    {
        DestroyWindow(main_window);
        SetCurrentDirectoryA(previous.c_str());
        put_back(user_link);
    }

    // Loads a prepared user.ini, as start-up does, and opens the settings dialog.
    INT_PTR open_settings()
    {
        return DialogBoxParamA(module_instance, "SETTINGDIALOG", main_window, settings_dialog_proc, 0);
    }
    void prepare_ini()
    {
        ASSERT_TRUE(write_file_bytes(ini, STORED));
        ASSERT_EQ(load_settings(main_window), 1);
    }

    static constexpr const char* STORED = "pop.example.jp\r\ntaro\r\nsecret\r\n300\r\n/Mail/mail.exe\r\nON\r\n";
    std::string previous;
    std::string folder;
    std::string ini;
    KeptFile user_link;   // the user's own shortcut, if Quillbeam is installed here
};

} // namespace

TEST_F(Dialogs, SetupAcceptedByEnterWritesHiddenIniAndShortcut)
{
    bool both_checked = false;
    bool focus_on_server = false;
    DialogDriver driver("初期設定", [&](HWND d, int activation) {
        if (activation != 1)
            return;
        // Looked at once the dialog is up: the focus is placed after it activates.
        poll_until(d, [&](HWND w) {
            both_checked = checked(w, IDC_STARTUP) && checked(w, IDC_SOUND);
            focus_on_server = GetFocus() == GetDlgItem(w, IDC_POP_SERVER);
            set_text(w, IDC_POP_SERVER, "127.0.0.9");
            set_text(w, IDC_ACCOUNT, "poptest");
            set_text(w, IDC_PASSWORD, "Secr3t");
            set_text(w, IDC_MAILER_PATH, "C:\\Program Files\\Mail\\mail.exe");
            key(w, IDC_POP_SERVER, VK_ESCAPE);   // does nothing
            key(w, IDC_PASSWORD, VK_RETURN);     // the default button: OK
            return true;
        });
    });
    EXPECT_EQ(load_settings(main_window), 1);
    EXPECT_TRUE(both_checked);
    EXPECT_TRUE(focus_on_server);
    EXPECT_TRUE(driver.hook.boxes.empty());
    EXPECT_EQ(read_file_bytes(ini),
              "127.0.0.9\r\npoptest\r\nSecr3t\r\n300\r\nC:\\Program Files\\Mail\\mail.exe\r\nON\r\n");
    EXPECT_TRUE(GetFileAttributesA(ini.c_str()) & FILE_ATTRIBUTE_HIDDEN);

    Shortcut link;
    ASSERT_TRUE(read_shortcut(startup_link(), &link));
    EXPECT_EQ(link.path, module_path());
    EXPECT_EQ(link.description, module_path());
    EXPECT_EQ(link.arguments, "/s");
    EXPECT_EQ(link.directory, folder);
    EXPECT_EQ(link.icon, "");
    EXPECT_EQ(link.icon_index, 0);
    EXPECT_EQ(link.show, SW_SHOWNORMAL);
}

TEST_F(Dialogs, SetupWarnsThenCancelOrTheCloseBoxWritesNothing)
{
    for (bool close_box : {false, true}) {
        SCOPED_TRACE(close_box ? "close box" : "cancel");
        HWND dialog = nullptr;
        DialogDriver driver("初期設定", [&](HWND d, int activation) {
            dialog = d;
            if (activation == 1) {
                click(d, IDC_OK_BUTTON);   // everything empty: the server is asked for first
            } else if (activation == 2) {
                set_text(d, IDC_POP_SERVER, "pop");
                click(d, IDC_OK_BUTTON);   // account empty
            } else if (activation == 3 && close_box) {
                PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0);
            } else if (activation == 3) {
                click(d, IDC_CANCEL_BUTTON);
            }
        });
        EXPECT_EQ(load_settings(main_window), 0);
        ASSERT_EQ(driver.hook.boxes.size(), 2u);
        EXPECT_EQ(driver.hook.boxes[0].text, NO_SERVER);
        EXPECT_EQ(driver.hook.boxes[1].text, NO_ACCOUNT);
        for (const SeenBox& box : driver.hook.boxes) {
            EXPECT_EQ(box.caption, "Exclamation");
            EXPECT_EQ(box.icon, BoxIcon::warning);
            EXPECT_EQ(box.owner, dialog);
        }
        EXPECT_EQ(GetFileAttributesA(ini.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetFileAttributesA(startup_link().c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

TEST_F(Dialogs, SetupWithBoxesClearedWritesNoShortcutAndSoundOff)
{
    DialogDriver driver("初期設定", [&](HWND d, int activation) {
        if (activation != 1)
            return;
        set_text(d, IDC_POP_SERVER, "pop");
        set_text(d, IDC_ACCOUNT, "a");
        set_text(d, IDC_PASSWORD, "p");
        set_text(d, IDC_MAILER_PATH, "m.exe");
        click(d, IDC_STARTUP);
        click(d, IDC_SOUND);
        click(d, IDC_OK_BUTTON);
    });
    EXPECT_EQ(load_settings(main_window), 1);
    EXPECT_EQ(read_file_bytes(ini), "pop\r\na\r\np\r\n300\r\nm.exe\r\nOFF\r\n");
    EXPECT_EQ(GetFileAttributesA(startup_link().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Dialogs, SetupBrowseFillsProgramPathAndKeepsTheDirectory)
{
    // A file to choose, in another folder.
    std::string other = make_scratch_folder("browse-target");
    std::string chosen = other + "\\mailer.exe";
    ASSERT_TRUE(write_file_bytes(chosen, "MZ"));
    std::string mailer_field;
    DialogDriver chooser("Mailer select", [&](HWND d, int activation) {
        if (activation == 1)
            choose_file_soon(d, chosen);
    });
    DialogDriver driver("初期設定", [&](HWND d, int activation) {
        // The dialog activates again when the chooser closes (and may in
        // between): go on once the chosen file is in the field.
        if (activation != 1)
            return;
        click(d, IDC_BROWSE);
        poll_until(d, [&](HWND w) {
            if (text_of(w, IDC_MAILER_PATH).empty())
                return false;
            mailer_field = text_of(w, IDC_MAILER_PATH);
            set_text(w, IDC_POP_SERVER, "pop");
            set_text(w, IDC_ACCOUNT, "a");
            set_text(w, IDC_PASSWORD, "p");
            click(w, IDC_OK_BUTTON);
            return true;
        });
    });
    // Both drivers' hooks are chained: the newest sees windows first.
    EXPECT_EQ(load_settings(main_window), 1);
    const std::string expected = program_path_of(chosen);
    EXPECT_EQ(mailer_field, expected);
    EXPECT_EQ(current_directory(), folder);
    Shortcut link;
    ASSERT_TRUE(read_shortcut(startup_link(), &link));
    EXPECT_EQ(link.directory, folder);
    EXPECT_EQ(read_file_bytes(ini), "pop\r\na\r\np\r\n300\r\n" + expected + "\r\nON\r\n");
}

TEST_F(Dialogs, SettingsShowsStoredValuesAndSavesAChange)
{
    prepare_ini();
    std::string shown[5];
    bool masked = false, sound = false, topmost = false;
    DialogDriver driver("設定", [&](HWND d, int activation) {
        if (activation != 1)
            return;
        int ids[5] = {IDC_POP_SERVER, IDC_ACCOUNT, IDC_PASSWORD, IDC_CHECK_TIME, IDC_MAILER_PATH};
        for (int i = 0; i < 5; ++i)
            shown[i] = text_of(d, ids[i]);
        masked = (GetWindowLongA(GetDlgItem(d, IDC_PASSWORD), GWL_STYLE) & ES_PASSWORD) != 0;
        sound = checked(d, IDC_SOUND);
        topmost = (GetWindowLongA(d, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        set_text(d, IDC_CHECK_TIME, "60");
        click(d, IDC_SOUND);
        key(d, IDC_CHECK_TIME, VK_ESCAPE);
        click(d, IDC_OK_BUTTON);
    });
    EXPECT_EQ(open_settings(), 1);
    EXPECT_EQ(shown[0], "pop.example.jp");
    EXPECT_EQ(shown[1], "taro");
    EXPECT_EQ(shown[2], "secret");
    EXPECT_EQ(shown[3], "300");
    EXPECT_EQ(shown[4], "/Mail/mail.exe");
    EXPECT_TRUE(masked);
    EXPECT_TRUE(sound);
    EXPECT_TRUE(topmost);
    EXPECT_TRUE(driver.hook.boxes.empty());
    EXPECT_STREQ(user_settings.check_time, "60");
    EXPECT_EQ(user_settings.sound_on, 0);
    EXPECT_EQ(read_file_bytes(ini), "pop.example.jp\r\ntaro\r\nsecret\r\n60\r\n/Mail/mail.exe\r\nOFF\r\n");
}

TEST_F(Dialogs, SettingsRefusesAShortCheckTimeAndCancelKeepsTheOld)
{
    prepare_ini();
    DialogDriver driver("設定", [&](HWND d, int activation) {
        if (activation == 1) {
            set_text(d, IDC_CHECK_TIME, "20");
            set_text(d, IDC_ACCOUNT, "someone");
            click(d, IDC_OK_BUTTON);
        } else if (activation == 2) {
            PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0);   // the close box acts as Cancel
        }
    });
    EXPECT_EQ(open_settings(), 1);
    ASSERT_EQ(driver.hook.boxes.size(), 1u);
    EXPECT_EQ(driver.hook.boxes[0].text, CHECK_TIME_UNDER_30);
    EXPECT_STREQ(user_settings.check_time, "300");
    EXPECT_STREQ(user_settings.account, "taro");
    EXPECT_EQ(read_file_bytes(ini), STORED);
}

TEST_F(Dialogs, SettingsSaveFailureKeepsTheDialogOpen)
{
    prepare_ini();
    HANDLE held = CreateFileA(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HWND dialog = nullptr;
    bool stayed_open = false;
    DialogDriver driver("設定", [&](HWND d, int activation) {
        dialog = d;
        if (activation != 1)
            return;
        set_text(d, IDC_PASSWORD, "changed");
        click(d, IDC_OK_BUTTON);
        // Once the error box is gone (the dialog is enabled again), the
        // dialog must still be there with the user's entry in it.
        poll_until(d, [&](HWND w) {
            if (driver.hook.boxes.empty() || !IsWindowEnabled(w))
                return false;
            stayed_open = IsWindowVisible(w) && text_of(w, IDC_PASSWORD) == "changed";
            click(w, IDC_CANCEL_BUTTON);
            return true;
        });
    });
    EXPECT_EQ(open_settings(), 1);
    CloseHandle(held);
    EXPECT_TRUE(stayed_open);
    ASSERT_EQ(driver.hook.boxes.size(), 1u);
    EXPECT_EQ(driver.hook.boxes[0].text, "User file create error");
    EXPECT_EQ(driver.hook.boxes[0].caption, "Error");
    EXPECT_EQ(driver.hook.boxes[0].owner, dialog);
    EXPECT_STREQ(user_settings.password, "changed");   // the program runs on the new values
    EXPECT_EQ(read_file_bytes(ini), STORED);           // and the file keeps the old ones
}

TEST_F(Dialogs, SettingsBrowseKeepsTheDriveWhereItMattersAndRestoresTheDirectory)
{
    std::string other = make_scratch_folder("settings-browse");
    std::string same_drive = other + "\\other mail.exe";
    ASSERT_TRUE(write_file_bytes(same_drive, "MZ"));
    // The test program itself lies on another drive than the scratch folder
    // (Wine's Z:, the build tree).
    std::string other_drive = module_path();
    ASSERT_NE(toupper(other_drive[0]), toupper(folder[0]));
    struct Row { std::string chosen, field; } rows[] = {
        {same_drive, program_path_of(same_drive)},
        {other_drive, other_drive},   // drive-less, it would name a file on this drive
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.chosen);
        prepare_ini();
        std::string mailer_field;
        DialogDriver chooser("Mailer select", [&](HWND d, int activation) {
            if (activation == 1)
                choose_file_soon(d, row.chosen);
        });
        DialogDriver driver("設定", [&](HWND d, int activation) {
            if (activation != 1)
                return;
            click(d, IDC_BROWSE);
            poll_until(d, [&](HWND w) {
                if (text_of(w, IDC_MAILER_PATH) == "/Mail/mail.exe")
                    return false;
                mailer_field = text_of(w, IDC_MAILER_PATH);
                click(w, IDC_OK_BUTTON);
                return true;
            });
        });
        EXPECT_EQ(open_settings(), 1);
        EXPECT_EQ(lstrcmpiA(mailer_field.c_str(), row.field.c_str()), 0) << mailer_field;
        EXPECT_EQ(current_directory(), folder);
        // Saved where user.ini lives, not in the chooser's folder.
        EXPECT_NE(read_file_bytes(ini).find(mailer_field + "\r\n"), std::string::npos);
        EXPECT_EQ(GetFileAttributesA((other + "\\user.ini").c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

TEST_F(Dialogs, FullCapacityValuesTravelWholeAndLongerOnesAreCut)
{
    prepare_ini();
    const std::string server(254, 's'), account(254, 'a'), password(254, 'p');
    const std::string mailer = "/" + std::string(258, 'm');
    // 253 bytes and then a double-byte character: the cut goes before it.
    const std::string long_time = "60" + std::string(251, ' ') + "秒" + std::string(40, 'x');
    DialogDriver driver("設定", [&](HWND d, int activation) {
        if (activation != 1)
            return;
        set_text(d, IDC_POP_SERVER, server + "overflow");
        set_text(d, IDC_ACCOUNT, account);
        set_text(d, IDC_PASSWORD, password);
        set_text(d, IDC_CHECK_TIME, long_time);
        set_text(d, IDC_MAILER_PATH, mailer + "zz");
        click(d, IDC_OK_BUTTON);
    });
    EXPECT_EQ(open_settings(), 1);
    EXPECT_TRUE(driver.hook.boxes.empty());
    const std::string cut_time = "60" + std::string(251, ' ');
    EXPECT_EQ(read_file_bytes(ini), server + "\r\n" + account + "\r\n" + password + "\r\n" + cut_time
                                        + "\r\n" + mailer + "\r\nON\r\n");
    memset(&user_settings, 0, sizeof user_settings);
    ASSERT_EQ(load_settings(main_window), 1);
    EXPECT_EQ(std::string(user_settings.pop_server), server);
    EXPECT_EQ(std::string(user_settings.password), password);
    EXPECT_EQ(std::string(user_settings.check_time), cut_time);
    EXPECT_EQ(std::string(user_settings.mailer_path), mailer);

    // On the wire: "USER " + 254 bytes + CR LF fills the command buffer exactly.
    strcpy(user_settings.pop_server, "127.0.0.7");
    ScriptServer pop("127.0.0.7", mailbox("+OK 0 0\r\n"));
    ASSERT_TRUE(pop.listening());
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(nullptr), 1);
    EXPECT_TRUE(hook.boxes.empty());
    pop.wait_client_closed(3000);
    EXPECT_EQ(pop.finish(), "USER " + account + "\r\nPASS " + password + "\r\nSTAT\r\n");
}

namespace {

std::string copy_mailer(const std::string& to)
{
    std::string from = module_path();
    from = from.substr(0, from.rfind('\\')) + "\\record_mailer.exe";
    CopyFileA(from.c_str(), to.c_str(), FALSE);
    return to;
}

std::string wait_for_record(const std::string& file)
{
    for (int i = 0; i < 100; ++i) {
        std::string text = read_file_bytes(file);
        if (!text.empty() && text.back() == '\n')
            return text;
        Sleep(50);
    }
    return read_file_bytes(file);
}

} // namespace

TEST_F(Dialogs, MailerStartsExactlyTheNamedFile)
{
    CreateDirectoryA((folder + "\\Program Files").c_str(), nullptr);
    CreateDirectoryA((folder + "\\Program Files\\Mail").c_str(), nullptr);
    std::string mail = copy_mailer(folder + "\\Program Files\\Mail\\mail.exe");
    copy_mailer(folder + "\\Program.exe");   // must never be the one started
    std::string record = folder + "\\mailer-record.txt";
    std::string program_form = program_path_of(mail);
    // A path of the field's full 259 bytes.
    const std::string base = folder + "\\";
    const std::string deep_folder = base + std::string(259 - base.size() - 6, 'd');
    CreateDirectoryA(deep_folder.c_str(), nullptr);
    std::string longest = copy_mailer(deep_folder + "\\m.exe");
    ASSERT_EQ(longest.size(), 259u);
    struct Row { std::string mailer_path; std::string expected; } rows[] = {
        {mail, mail + "|\"" + mail + "\"|" + folder + "\n"},
        {longest, longest + "|\"" + longest + "\"|" + folder + "\n"},
        {program_form, mail + "|\"" + mail.substr(2) + "\"|" + folder + "\n"},
        {"\"" + mail + "\" -compose", mail + "|\"" + mail + "\" -compose|" + folder + "\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mailer_path);
        remove_file(record);
        copy_text(user_settings.mailer_path, sizeof user_settings.mailer_path, row.mailer_path.c_str());
        EXPECT_EQ(launch_mailer(), 1);
        std::string seen = wait_for_record(record);
        // The drive letter's case may differ in what the process reports.
        EXPECT_EQ(lstrcmpiA(seen.c_str(), row.expected.c_str()), 0) << seen;
    }
    // A path that names nothing starts nothing and says nothing.
    remove_file(record);
    strcpy(user_settings.mailer_path, "/no/such/mailer.exe");
    MessageBoxHook hook;
    EXPECT_EQ(launch_mailer(), 1);
    Sleep(300);
    EXPECT_EQ(GetFileAttributesA(record.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(hook.boxes.empty());
}

TEST_F(Dialogs, ShortcutWithoutComReturnsTheCreationCode)
{
    std::string link = folder + "\\test.lnk";
    HRESULT result = create_startup_shortcut(link.c_str(), "C:\\x.exe", "C:\\x.exe", "/s", "C:\\",
                                             nullptr, 0, SW_SHOWNORMAL);
    EXPECT_EQ(result, CO_E_NOTINITIALIZED);
    EXPECT_EQ(GetFileAttributesA(link.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The user's way to sign in: the server, the account, no password, OK; the
// browser (the tests' own, tests/support/test-browser) signs in against the
// tls fixture's authorization server. Confirmed again, the sign-in stays.
TEST_F(Dialogs, SetupWithAnEmptyPasswordSignsInThroughTheBrowser)
{
    ASSERT_TRUE(write_file_bytes(folder + "\\oauth.ini", test_registration("127.0.0.45")));
    use_test_browser("follow");
    DialogDriver driver("初期設定", [&](HWND d, int activation) {
        if (activation == 1)
            poll_until(d, [&](HWND w) {
                set_text(w, IDC_POP_SERVER, "127.0.0.45");
                set_text(w, IDC_ACCOUNT, "poptest");
                set_text(w, IDC_MAILER_PATH, "C:\\Mail\\mail.exe");
                click(w, IDC_OK_BUTTON);
                return true;
            });
    });
    ASSERT_EQ(load_settings(main_window), 1);
    EXPECT_TRUE(driver.hook.boxes.empty());
    EXPECT_EQ(read_file_bytes(ini), "127.0.0.45\r\npoptest\r\n\r\n300\r\nC:\\Mail\\mail.exe\r\nON\r\n");
    EXPECT_TRUE(signin_stored_for("127.0.0.45", "poptest"));
    EXPECT_NE(browser_log().find("サインインが終わりました。"), std::string::npos) << browser_log();

    use_test_browser("follow");
    DialogDriver again("設定", [&](HWND d, int activation) {
        if (activation == 1)
            poll_until(d, [&](HWND w) {
                click(w, IDC_OK_BUTTON);
                return true;
            });
    });
    open_settings();
    EXPECT_TRUE(again.hook.boxes.empty());
    EXPECT_EQ(browser_log("opened", 1000), "") << "the same server and account keep their sign-in";
}
