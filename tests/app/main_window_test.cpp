// The main window: start-up, the polling timer, the icon callbacks, the
// commands, the About box and the single-instance guard.
#include <gtest/gtest.h>

#include <string.h>

#include "app/app.h"
#include "mailcheck/mail_check.h"
#include "resources/resource.h"
#include "settings/user_settings.h"
#include "tests/support/import_redirect.h"
#include "tests/support/message_box_hook.h"
#include "tests/support/pop3_script_server.h"
#include "tests/support/recording_doubles.h"
#include "tests/support/test_files.h"

// Every SetTimer the program makes passes through here (the import slot is
// redirected), so the test sees the elapse it asked for.
extern "C" UINT_PTR(WINAPI* __imp_SetTimer)(HWND, UINT_PTR, UINT, TIMERPROC);
extern "C" int(WSAAPI* __imp_closesocket)(SOCKET);

namespace {

struct TimerCall { UINT_PTR id; UINT elapse; };
std::vector<TimerCall> timer_calls;
UINT_PTR(WINAPI* real_set_timer)(HWND, UINT_PTR, UINT, TIMERPROC);

UINT_PTR WINAPI recording_set_timer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc)
{
    timer_calls.push_back({id, elapse});
    return real_set_timer(window, id, elapse, proc);
}

std::vector<int> close_results;
int(WSAAPI* real_closesocket)(SOCKET);
DWORD checking_thread;   // the scripted servers close theirs on threads of their own

int WSAAPI recording_closesocket(SOCKET s)
{
    int result = real_closesocket(s);
    if (GetCurrentThreadId() == checking_thread)
        close_results.push_back(result);
    return result;
}

void redirect_set_timer()
{
    if (real_set_timer != nullptr)
        return;
    real_set_timer = redirect_import(&__imp_SetTimer, recording_set_timer);
}

const char* const SERVER = "127.0.0.4";

// The end of a window whose network never started still cleans the socket
// library up once; the test's own servers need it back.
void restore_socket_library()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

std::vector<ScriptStep> mailbox(const char* stat_reply)
{
    return {ScriptStep{"+OK\r\n"}, ScriptStep{"+OK\r\n"}, ScriptStep{"+OK\r\n"},
            ScriptStep{stat_reply}};
}

class MainWindow : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        redirect_set_timer();
        module_instance = GetModuleHandleA(nullptr);
        WNDCLASSA window_class = {};
        window_class.style = CS_HREDRAW | CS_VREDRAW;
        window_class.lpfnWndProc = main_window_proc;
        window_class.hInstance = module_instance;
        window_class.lpszClassName = "Quillbeam";
        RegisterClassA(&window_class);
    }

    void SetUp() override
    {
        GetCurrentDirectoryA(sizeof previous, previous);
        folder = make_scratch_folder(testing::UnitTest::GetInstance()->current_test_info()->name());
        SetCurrentDirectoryA(folder.c_str());
        memset(&user_settings, 0, sizeof user_settings);
        main_window = nullptr;
        recorded_calls.clear();
        timer_calls.clear();
    }

    void TearDown() override
    {
        if (window != nullptr && IsWindow(window))
            DestroyWindow(window);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
        SetCurrentDirectoryA(previous);
    }

    void write_ini(const char* check_time)
    {
        std::string text = std::string(SERVER) + "\r\ntaro\r\nsecret\r\n" + check_time
            + "\r\nnotepad.exe\r\nOFF\r\n";
        ASSERT_TRUE(write_file_bytes(folder + "\\user.ini", text));
    }

    HWND create()
    {
        window = CreateWindowExA(WS_EX_TOOLWINDOW, "Quillbeam", "Quillbeam", WS_POPUP, 0, 0, 0, 0,
                                 nullptr, nullptr, module_instance, nullptr);
        return window;
    }

    char previous[MAX_PATH];
    std::string folder;
    HWND window = nullptr;
};

} // namespace

TEST_F(MainWindow, StartUpChecksAtOnceAndArmsTheBoundedTimer)
{
    struct Row { const char* check_time; UINT elapse; } rows[] = {
        {"300", 300000}, {"45abc", 45000}, {"30", 30000},
        {"0", 30000}, {"abc", 30000}, {"-5", 30000}, {"4294968", 0x7FFFFFFF},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.check_time);
        recorded_calls.clear();
        timer_calls.clear();
        write_ini(row.check_time);
        ScriptServer server(SERVER, mailbox("+OK 3 300\r\n"));
        ASSERT_TRUE(server.listening());
        MessageBoxHook hook;
        ASSERT_NE(create(), nullptr);
        // The check ran inside the window's creation.
        server.wait_client_closed(3000);
        EXPECT_EQ(server.finish(), "USER taro\r\nPASS secret\r\nSTAT\r\n");
        EXPECT_TRUE(hook.boxes.empty());
        EXPECT_EQ(main_window, window);
        std::vector<std::string> expected = {"add_main:Quillbeam v1.1", "remove_mail",
                                             "add_mail:合計3通のメールが着ています"};
        EXPECT_EQ(recorded_calls, expected);
        ASSERT_EQ(timer_calls.size(), 1u);
        EXPECT_EQ(timer_calls[0].id, static_cast<UINT_PTR>(CHECK_TIMER_ID));
        EXPECT_EQ(timer_calls[0].elapse, row.elapse);
        EXPECT_TRUE(KillTimer(window, CHECK_TIMER_ID));   // it is really armed
        DestroyWindow(window);
    }
}

TEST_F(MainWindow, FailedCheckLeavesNoTimer)
{
    write_ini("300");
    ScriptServer server(SERVER, {ScriptStep{"+OK\r\n"}, ScriptStep{"+OK\r\n"},
                                 ScriptStep{"-ERR [AUTH] Authentication failed.\r\n"}});
    MessageBoxHook hook;
    ASSERT_NE(create(), nullptr);
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text, "-ERR [AUTH] Authentication failed.");
    EXPECT_TRUE(timer_calls.empty());
    EXPECT_FALSE(KillTimer(window, CHECK_TIMER_ID));
    // The program runs on: its window is there and answers.
    EXPECT_TRUE(IsWindow(window));
}

TEST_F(MainWindow, MissingSettingsAndCancelledSetupEndStartUp)
{
    MessageBoxHook hook([](HWND w) {
        if (window_text(w) != "初期設定")
            return false;
        PostMessageA(w, WM_COMMAND, 1004, 0);   // キャンセル
        return true;
    });
    EXPECT_EQ(create(), nullptr);
    // No icon was ever shown; the end of the window deletes both, absent or not.
    EXPECT_EQ(recorded_calls, (std::vector<std::string>{"remove_main", "remove_mail"}));
    MSG message;
    EXPECT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    restore_socket_library();
}

TEST_F(MainWindow, IconCallbacksAndCommands)
{
    write_ini("300");
    {
        ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
        ASSERT_NE(create(), nullptr);
        server.finish();
    }
    struct Row { UINT message; LPARAM mouse; std::vector<std::string> calls; } rows[] = {
        {WM_MAILICON_NOTIFY, WM_LBUTTONDBLCLK, {"remove_mail", "launch"}},
        {WM_MAILICON_NOTIFY, WM_RBUTTONDOWN, {"menu:MAILMENU"}},
        {WM_MAINICON_NOTIFY, WM_RBUTTONDOWN, {"menu:MAINMENU"}},
        {WM_MAINICON_NOTIFY, WM_LBUTTONDOWN, {}},
        {WM_MAINICON_NOTIFY, WM_LBUTTONUP, {}},
        {WM_MAINICON_NOTIFY, WM_RBUTTONDBLCLK, {}},
        {WM_MAINICON_NOTIFY, WM_MOUSEMOVE, {}},
        {WM_MAILICON_NOTIFY, WM_LBUTTONDOWN, {}},
        {WM_MAILICON_NOTIFY, WM_RBUTTONUP, {}},
    };
    for (const Row& row : rows) {
        recorded_calls.clear();
        SendMessageA(window, row.message, MAIN_ICON_ID, row.mouse);
        EXPECT_EQ(recorded_calls, row.calls) << row.message << " " << row.mouse;
    }
    recorded_calls.clear();
    SendMessageA(window, WM_COMMAND, IDM_CLOSE_NOTICE, 0);
    EXPECT_EQ(recorded_calls, std::vector<std::string>{"remove_mail"});
    recorded_calls.clear();
    SendMessageA(window, WM_COMMAND, IDM_LAUNCH_MAILER, 0);
    EXPECT_EQ(recorded_calls, (std::vector<std::string>{"remove_mail", "launch"}));
    recorded_calls.clear();
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_CLOSE_NOTICE, 1), 0);   // not a menu click
    EXPECT_TRUE(recorded_calls.empty());
}

TEST_F(MainWindow, DoubleClickOnResidentIconOpensSettingsThenChecks)
{
    write_ini("300");
    {
        ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
        ASSERT_NE(create(), nullptr);
        server.finish();
    }
    recorded_calls.clear();
    timer_calls.clear();
    std::vector<std::string> calls_while_open;
    MessageBoxHook hook([&](HWND w) {
        if (window_text(w) != "設定")
            return false;
        calls_while_open = recorded_calls;
        PostMessageA(w, WM_COMMAND, 1004, 0);   // キャンセル
        return true;
    });
    ScriptServer server(SERVER, mailbox("+OK 2 300\r\n"));
    SendMessageA(window, WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_LBUTTONDBLCLK);
    server.wait_client_closed(3000);
    EXPECT_EQ(server.finish(), "USER taro\r\nPASS secret\r\nSTAT\r\n");
    EXPECT_EQ(calls_while_open, std::vector<std::string>{"remove_main"});
    std::vector<std::string> expected = {"remove_main", "add_main:Quillbeam v1.1", "remove_mail",
                                         "add_mail:合計2通のメールが着ています"};
    EXPECT_EQ(recorded_calls, expected);
    ASSERT_EQ(timer_calls.size(), 1u);
    EXPECT_EQ(timer_calls[0].elapse, 300000u);
}

TEST_F(MainWindow, AboutBox)
{
    write_ini("300");
    {
        ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
        ASSERT_NE(create(), nullptr);
        server.finish();
    }
    MessageBoxHook hook;
    SendMessageA(window, WM_COMMAND, IDM_ABOUT, 0);
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].caption, "About");
    EXPECT_EQ(hook.boxes[0].icon, BoxIcon::information);
    EXPECT_EQ(hook.boxes[0].owner, window);
    EXPECT_EQ(hook.boxes[0].text.substr(0, hook.boxes[0].text.find("\r\n")), "Quillbeam v1.1");
}

TEST_F(MainWindow, ExitRemovesBothIconsAndQuits)
{
    write_ini("300");
    {
        ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
        ASSERT_NE(create(), nullptr);
        server.finish();
    }
    recorded_calls.clear();
    SendMessageA(window, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(recorded_calls, (std::vector<std::string>{"remove_main", "remove_mail"}));
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
    restore_socket_library();
}

TEST_F(MainWindow, TaskbarRestartGivesTheIconBack)
{
    write_ini("300");
    {
        ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
        ASSERT_NE(create(), nullptr);
        server.finish();
    }
    recorded_calls.clear();
    SendMessageA(window, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_EQ(recorded_calls, std::vector<std::string>{"add_main:Quillbeam v1.1"});
}

TEST_F(MainWindow, CheckNestedInAFailingChecksErrorBox)
{
    write_ini("300");
    {
        ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
        ASSERT_NE(create(), nullptr);
        server.finish();
    }
    if (real_closesocket == nullptr)
        real_closesocket = redirect_import(&__imp_closesocket, recording_closesocket);
    checking_thread = GetCurrentThreadId();
    close_results.clear();
    recorded_calls.clear();
    timer_calls.clear();

    // The outer check fails at the password; while its box is open the user
    // double-clicks the resident icon, points the settings at another server
    // and closes the dialog, which starts the inner check at once.
    ScriptServer failing(SERVER, {ScriptStep{"+OK\r\n"}, ScriptStep{"+OK\r\n"},
                                  ScriptStep{"-ERR [AUTH] Authentication failed.\r\n"}});
    ScriptServer working("127.0.0.5", mailbox("+OK 4 800\r\n"));
    ASSERT_TRUE(working.listening());
    bool nested_once = false;
    MessageBoxHook hook([&](HWND w) {
        if (window_text(w) != "設定")
            return false;
        SetWindowTextA(GetDlgItem(w, IDC_POP_SERVER), "127.0.0.5");
        PostMessageA(GetDlgItem(w, IDC_OK_BUTTON), BM_CLICK, 0, 0);
        return true;
    });
    hook.on_box = [&](const SeenBox& box) {
        if (nested_once || box.caption != "Error")
            return;
        nested_once = true;
        // Delivered by the box's own message loop, as a click would be.
        PostMessageA(window, WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_LBUTTONDBLCLK);
    };
    SendMessageA(window, WM_TIMER, 0, 0);

    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text, "-ERR [AUTH] Authentication failed.");
    working.wait_client_closed(3000);
    EXPECT_EQ(working.finish(), "USER taro\r\nPASS secret\r\nSTAT\r\n");
    std::vector<std::string> expected = {"remove_main", "add_main:Quillbeam v1.1", "remove_mail",
                                         "add_mail:合計4通のメールが着ています"};
    EXPECT_EQ(recorded_calls, expected);
    // The inner check armed the timer; the outer one, failing, added nothing.
    ASSERT_EQ(timer_calls.size(), 1u);
    EXPECT_EQ(timer_calls[0].elapse, 300000u);
    // Two checks, two closes, both of a live socket: the inner socket may
    // reuse the outer one's handle, so a second close of the outer socket
    // would either fail or close the inner one under it.
    EXPECT_EQ(close_results, (std::vector<int>{0, 0}));
    EXPECT_EQ(mail_socket, INVALID_SOCKET);
    EXPECT_STREQ(user_settings.pop_server, "127.0.0.5");
}

TEST(SingleInstance, SecondStartWarnsAndExitsWithZero)
{
    // The test holds the guard as a running Quillbeam would.
    HANDLE first = CreateMutexA(nullptr, TRUE, "Quillbeam Multiplex starting prevention program");
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    strcpy(strrchr(program, '\\') + 1, "quillbeam.exe");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(program, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    HWND box = nullptr;
    for (int i = 0; i < 200 && (box == nullptr || !IsWindowVisible(box)); ++i) {
        Sleep(50);
        box = FindWindowA("#32770", "Exclamation");
    }
    ASSERT_NE(box, nullptr);
    char text[256] = "";
    SendMessageA(GetDlgItem(box, 0xFFFF), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "Quillbeamはもうすでに起動されています");
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
    // Press OK as a user would, again if the box was not yet listening.
    DWORD waited = WAIT_TIMEOUT;
    for (int i = 0; i < 20 && waited == WAIT_TIMEOUT; ++i) {
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        waited = WaitForSingleObject(process.hProcess, 500);
    }
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(first);
}
