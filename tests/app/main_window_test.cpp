// The main window: start-up, the polling timer, the icon callbacks, the
// commands, the About box and the single-instance guard.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <memory>
#include <thread>

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include "app/app.h"
#include "mailcheck/mail_check.h"
#include "mailcheck/push_watch.h"
#include "resources/resource.h"
#include "settings/user_settings.h"
#include "tests/support/check_watchdog.h"
#include "tests/support/import_redirect.h"
#include "tests/support/message_box_hook.h"
#include "tests/support/pop3_script_server.h"
#include "tests/support/recording_doubles.h"
#include "tests/support/settings_record.h"
#include "tests/support/test_files.h"

// Every SetTimer the program makes passes through here (the import slot is
// redirected), so the test sees the elapse it asked for.
extern "C" UINT_PTR(WINAPI* set_timer_slot)(HWND, UINT_PTR, UINT, TIMERPROC) IMPORT_SLOT(SetTimer, 16);
extern "C" int(WSAAPI* closesocket_slot)(SOCKET) IMPORT_SLOT(closesocket, 4);

namespace {

struct TimerCall { UINT_PTR id; UINT elapse; };
std::vector<TimerCall> timer_calls;
UINT_PTR(WINAPI* real_set_timer)(HWND, UINT_PTR, UINT, TIMERPROC);

// The tests' own timers use this id and are not the program's.
const UINT_PTR TEST_TIMER_ID = 0x7E57;

UINT_PTR WINAPI recording_set_timer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc)
{
    if (id != TEST_TIMER_ID)
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
    real_set_timer = redirect_import(&set_timer_slot, recording_set_timer);
}

const char* const SERVER = "127.0.0.4";

// The end of a window whose network never started still cleans the socket
// library up once; the test's own servers need it back.
void restore_socket_library()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
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

    // A started main window: user.ini written, its first check made
    // against a mailbox answering STAT with stat_reply.
    void start_window(const char* stat_reply = "+OK 0 0\r\n")
    {
        write_ini("300");
        ScriptServer server(SERVER, mailbox(stat_reply));
        ASSERT_NE(create(), nullptr);
        server.finish();
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
        EXPECT_EQ(server.finish(), mailbox_exchange("taro", "secret", 3));
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
    ScriptServer server(SERVER, {reply("+OK\r\n"), reply("+OK\r\n"),
                                 reply("-ERR [AUTH] Authentication failed.\r\n")});
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
    ASSERT_NO_FATAL_FAILURE(start_window());
    const UINT taskbar_created = RegisterWindowMessageA("TaskbarCreated");
    struct Row { UINT message; WPARAM id; LPARAM mouse; std::vector<std::string> calls; } rows[] = {
        {WM_MAILICON_NOTIFY, MAIN_ICON_ID, WM_LBUTTONDBLCLK, {"remove_mail", "launch"}},
        {WM_MAILICON_NOTIFY, MAIN_ICON_ID, WM_RBUTTONDOWN, {"menu:MAILMENU"}},
        // A click on the notification, as the shell reports it (WM_USER + 5).
        {WM_MAILICON_NOTIFY, MAIL_ICON_ID, WM_USER + 5, {"remove_mail", "launch"}},
        {WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_RBUTTONDOWN, {"menu:MAINMENU"}},
        {WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_LBUTTONDOWN, {}},
        {WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_LBUTTONUP, {}},
        {WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_RBUTTONDBLCLK, {}},
        {WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_MOUSEMOVE, {}},
        {WM_MAILICON_NOTIFY, MAIN_ICON_ID, WM_LBUTTONDOWN, {}},
        {WM_MAILICON_NOTIFY, MAIN_ICON_ID, WM_RBUTTONUP, {}},
        {WM_COMMAND, IDM_CLOSE_NOTICE, 0, {"remove_mail"}},
        {WM_COMMAND, IDM_LAUNCH_MAILER, 0, {"remove_mail", "launch"}},
        {WM_COMMAND, MAKEWPARAM(IDM_CLOSE_NOTICE, 1), 0, {}},   // not a menu click
        // Explorer restarted (or the taskbar's scaling changed): both icons come back.
        {taskbar_created, 0, 0, {"add_main:Quillbeam v1.1", "restore_mail"}},
    };
    for (const Row& row : rows) {
        recorded_calls.clear();
        SendMessageA(window, row.message, row.id, row.mouse);
        EXPECT_EQ(recorded_calls, row.calls) << row.message << " " << row.id << " " << row.mouse;
    }
}

TEST_F(MainWindow, DoubleClickOnResidentIconOpensSettingsThenChecks)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    // Either way the dialog ends (closed, or never opened because its
    // template cannot be loaded) the icon comes back once and a check runs.
    struct Row { const char* name; HINSTANCE resources; bool opens; } rows[] = {
        {"closed", module_instance, true},
        {"cannot open", GetModuleHandleA("kernel32.dll"), false},
    };
    const HINSTANCE program = module_instance;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorded_calls.clear();
        timer_calls.clear();
        std::vector<std::string> calls_while_open;
        bool opened = false;
        MessageBoxHook hook([&](HWND w) {
            if (window_text(w) != "設定")
                return false;
            opened = true;
            // Due checks wait for the dialog's close: none runs behind it.
            SendMessageA(window, WM_TIMER, CHECK_TIMER_ID, 0);
            SendMessageA(window, WM_TIMER, WAKE_TIMER_ID, 0);
            // Explorer restarted meanwhile: the dialog's end gives the icon back.
            SendMessageA(window, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
            calls_while_open = recorded_calls;
            PostMessageA(w, WM_COMMAND, IDC_CANCEL_BUTTON, 0);
            return true;
        });
        ScriptServer server(SERVER, mailbox("+OK 2 300\r\n"), true);
        module_instance = row.resources;
        SendMessageA(window, WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_LBUTTONDBLCLK);
        module_instance = program;
        server.wait_client_closed(3000);
        EXPECT_EQ(server.finish(), mailbox_exchange("taro", "secret", 2));
        EXPECT_EQ(server.connections(), 1);
        EXPECT_EQ(opened, row.opens);
        if (row.opens) {
            EXPECT_EQ(calls_while_open, (std::vector<std::string>{"remove_main", "restore_mail"}));
        }
        std::vector<std::string> expected = {"remove_main", "add_main:Quillbeam v1.1", "remove_mail",
                                             "add_mail:合計2通のメールが着ています"};
        if (row.opens)
            expected.insert(expected.begin() + 1, "restore_mail");
        EXPECT_EQ(recorded_calls, expected);
        ASSERT_EQ(timer_calls.size(), 1u);
        EXPECT_EQ(timer_calls[0].elapse, 300000u);
    }
}

TEST_F(MainWindow, AboutBox)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
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
    ASSERT_NO_FATAL_FAILURE(start_window());
    recorded_calls.clear();
    SendMessageA(window, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(recorded_calls, (std::vector<std::string>{"remove_main", "remove_mail"}));
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
    restore_socket_library();
}

// What was posted to the window: the wake's check runs in its turn.
void pump(HWND window)
{
    MSG message;
    while (PeekMessageA(&message, window, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
}

// Sleep stops the timer; at wake the check waits for a network and runs as
// soon as there is one, or at the two-minute bound; polling goes on. The
// server counts every connection, so a check too many fails its row.
TEST_F(MainWindow, WakeWaitsForANetwork)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    const struct { const char* name; bool resume; bool network_at_wake; UINT then; WPARAM timer; } rows[] = {
        {"network at wake", true, true, 0, 0},
        {"network comes back", true, false, WM_NETWORK_CHANGED, 0},
        {"no network for two minutes", true, false, WM_TIMER, WAKE_TIMER_ID},
        {"the resume message never comes", false, true, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"), true);
        MessageBoxHook hook;
        timer_calls.clear();
        SendMessageA(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
        EXPECT_FALSE(KillTimer(window, CHECK_TIMER_ID)) << "the timer ran on into sleep";
        network_present = row.network_at_wake;
        // Adapters going down at the suspend start nothing.
        SendMessageA(window, WM_NETWORK_CHANGED, 0, 0);
        pump(window);
        EXPECT_EQ(server.connections(), 0) << "checked while asleep";
        if (row.resume) {
            SendMessageA(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
            SendMessageA(window, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
            EXPECT_EQ(server.connections(), 0) << "checked inside the power message";
        } else {
            SendMessageA(window, WM_TIMER, WAKE_TIMER_ID, 0);   // the fallback while "asleep"
        }
        pump(window);
        if (row.then != 0) {
            SendMessageA(window, WM_NETWORK_CHANGED, 0, 0);   // a change, but still no network
            EXPECT_EQ(server.connections(), 0) << "checked without a network";
            network_present = row.then == WM_NETWORK_CHANGED;
            SendMessageA(window, row.then, row.timer, 0);
        }
        network_present = true;
        SendMessageA(window, WM_NETWORK_CHANGED, 0, 0);   // no second check
        pump(window);
        server.wait_client_closed(3000);
        EXPECT_EQ(server.finish(), "USER taro\r\nPASS secret\r\nSTAT\r\n");
        EXPECT_EQ(server.connections(), 1);
        EXPECT_TRUE(hook.boxes.empty());
        ASSERT_GE(timer_calls.size(), 2u);
        const TimerCall& wake = timer_calls[timer_calls.size() - 2];
        EXPECT_EQ(wake.id, static_cast<UINT_PTR>(WAKE_TIMER_ID));
        EXPECT_EQ(wake.elapse, 120000u);
        EXPECT_EQ(timer_calls.back().id, static_cast<UINT_PTR>(CHECK_TIMER_ID)) << "polling goes on";
        EXPECT_FALSE(KillTimer(window, WAKE_TIMER_ID)) << "the wake bound outlived its check";
    }
}

// Adapters often report their old address for seconds after wake: until
// the two minutes are up, a server out of reach is quiet, then it is shown.
TEST_F(MainWindow, UnreachedServerIsQuietOnlyDuringTheWaitAfterWake)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    strcpy(user_settings.pop_server, "127.0.0.3");   // refused
    network_present = true;   // as the adapter still says
    MessageBoxHook hook;
    for (int night = 0; night < 2; ++night) {
        // The second night begins while the check waits for a network: a
        // network notice in its sleep still starts nothing.
        SendMessageA(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
        SendMessageA(window, WM_NETWORK_CHANGED, 0, 0);
        pump(window);
        EXPECT_TRUE(hook.boxes.empty());
        SendMessageA(window, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
        pump(window);
        EXPECT_TRUE(hook.boxes.empty());
    }
    EXPECT_TRUE(KillTimer(window, WAKE_TIMER_ID)) << "the wait ended with a quiet failure";
    SendMessageA(window, WM_TIMER, WAKE_TIMER_ID, 0);
    expect_one_error_box(hook, "Mail connect error", window);
}

// A push connection's server: it idles and tells of a change at once.
std::vector<ScriptStep> idling_with_news()
{
    return {reply("* OK ready\r\n"), reply("a1 OK [CAPABILITY IMAP4rev1 IDLE] in\r\n"), reply("p1 OK done\r\n"),
            reply("+ idling\r\n* 3 EXISTS\r\n")};
}

// Its news message, taken off the queue (at most 5 s): the push
// connection's generation it carries, 0 when none came.
WPARAM news_came(HWND window)
{
    MSG news;
    for (int i = 0; i < 250; ++i, Sleep(20))
        if (PeekMessageA(&news, window, WM_PUSH_NEWS, WM_PUSH_NEWS, PM_REMOVE))
            return news.wParam;
    return 0;
}

// Sleep, the settings dialog and a failed check close the push connection
// (DONE, LOGOUT), and it stays closed: no news can start a check while
// asleep, behind the dialog or once polling stopped.
TEST_F(MainWindow, SleepSettingsAndAFailedCheckCloseThePushConnection)
{
    const struct { const char* name; UINT message; WPARAM wparam; } rows[] = {
        {"sleep", WM_POWERBROADCAST, PBT_APMSUSPEND},
        {"the settings dialog (then its check fails)", WM_COMMAND, IDM_SETTINGS},
        {"a failed check", WM_TIMER, CHECK_TIMER_ID},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(start_window());
        ScriptServer server(SERVER, idling_with_news());
        push_start(window, WM_PUSH_NEWS, 0);
        const WPARAM generation = news_came(window);
        ASSERT_NE(generation, 0u) << "it never idled";
        ASSERT_TRUE(push_take_news(generation));
        strcpy(user_settings.pop_server, "127.0.0.250");   // refused: the check fails at once, with its box
        bool closed_behind_dialog = false;
        MessageBoxHook hook([&](HWND w) {
            if (window_text(w) != "設定")
                return false;
            closed_behind_dialog = server.wait_client_closed(3000);
            return PostMessageA(w, WM_COMMAND, IDC_CANCEL_BUTTON, 0) != 0;
        });
        SendMessageA(window, row.message, row.wparam, 0);
        EXPECT_EQ(closed_behind_dialog, row.message == WM_COMMAND);
        EXPECT_TRUE(server.wait_client_closed(3000));
        EXPECT_EQ(server.finish(), "a1 LOGIN \"taro\" \"secret\"\r\np1 EXAMINE INBOX\r\np2 IDLE\r\nDONE\r\np3 LOGOUT\r\n");
        EXPECT_FALSE(push_take_news(generation));
        SendMessageA(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);   // awake for what follows
        DestroyWindow(window);
        MSG quit;
        PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);   // its quit, not the next row's news
    }
}

// The push connection's longest waits (DONE never answered after a network
// change; a server that accepts and never greets) hold nothing the check
// needs: a check at the interval against another server takes what it
// takes alone, and the window answers a sent message within a second all
// the while.
TEST_F(MainWindow, ACheckNeverWaitsForThePushConnection)
{
    const struct { const char* name; std::vector<ScriptStep> push; bool network_change; } rows[] = {
        {"DONE never answered", {reply("* OK ready\r\n"), reply("a1 OK [CAPABILITY IMAP4rev1 IDLE] in\r\n"),
                                 reply("p1 OK done\r\n"), reply("+ idling\r\n"), reply("", StepEnd::hang)}, true},
        {"never greets", {reply("", StepEnd::hang)}, false},
    };
    ASSERT_NO_FATAL_FAILURE(start_window());
    // The push connection's waits shortened to 15 s, still far past a
    // check's: a push_stop that waited for them fails the row within
    // seconds, not at ctest's time-out.
    ShortTimes times(15000);
    const DWORD done_before = push_done_ms;
    push_done_ms = 15000;
    ScriptServer mail("127.0.0.5", mailbox("+OK 0 0\r\n"), true);
    auto timed_check = [&] {
        const DWORD start = GetTickCount();
        SendMessageA(window, WM_TIMER, CHECK_TIMER_ID, 0);
        return GetTickCount() - start;
    };
    strcpy(user_settings.pop_server, "127.0.0.5");
    const DWORD alone = timed_check();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptServer push(SERVER, row.push);
        strcpy(user_settings.pop_server, SERVER);
        push_start(window, WM_PUSH_NEWS, 0);
        strcpy(user_settings.pop_server, "127.0.0.5");
        Sleep(300);   // idling, or waiting for the greeting
        if (row.network_change)
            SendMessageA(window, WM_NETWORK_CHANGED, 0, 0);   // DONE, then its 60-second wait
        std::atomic<bool> answering{true}, done{false}, asked{false};
        std::thread asker([&] {
            for (DWORD_PTR result; !done; Sleep(50))
                if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result))
                    answering = false;
            asked = true;
        });
        for (int i = 0; i < 3; ++i) {
            // A check held by the push connection would wait its 15 seconds
            // here; a loaded machine slows one by far less than 10.
            EXPECT_LT(timed_check(), alone + 10000);
            for (DWORD until = GetTickCount() + 300; GetTickCount() < until; Sleep(10))
                pump(window);
        }
        done = true;
        while (!asked)   // its last message answered too
            pump(window);
        asker.join();
        EXPECT_TRUE(answering) << "the window did not answer within a second";
        // Its thread is deaf while it waits on its server: left to end by itself.
        const DWORD start = GetTickCount();
        push_stop(500);
        EXPECT_LT(GetTickCount() - start, 1000u) << "the stop waited past its bound";
    }
    push_done_ms = done_before;
}

// News taken inside a failed check's box starts no second check: one box.
TEST_F(MainWindow, PushNewsInsideAFailedChecksBoxStartsNoCheck)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    ScriptServer push(SERVER, idling_with_news());
    push_start(window, WM_PUSH_NEWS, 0);
    const WPARAM generation = news_came(window);
    ASSERT_NE(generation, 0u) << "it never idled";
    PostMessageA(window, WM_PUSH_NEWS, generation, 0);   // still to be taken when the box's loop runs
    strcpy(user_settings.pop_server, "127.0.0.250");   // refused: the check fails at once, with its box
    MessageBoxHook hook;
    SendMessageA(window, WM_TIMER, CHECK_TIMER_ID, 0);
    pump(window);
    EXPECT_EQ(hook.boxes.size(), 1u);
    push_stop(2000);
}

// News that a stopped push connection posted late starts nothing (after a
// failed check it would start polling again): only the one open now
// speaks for the inbox.
TEST_F(MainWindow, NewsOfAStoppedPushConnectionStartsNoCheck)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    WPARAM stopped = 0;
    {
        ScriptServer push(SERVER, idling_with_news());
        push_start(window, WM_PUSH_NEWS, 0);
        stopped = news_came(window);
        ASSERT_NE(stopped, 0u) << "it never idled";
        push_stop(2000);
    }
    ScriptServer push(SERVER, idling_with_news());
    push_start(window, WM_PUSH_NEWS, 0);
    const WPARAM current = news_came(window);
    ASSERT_NE(current, 0u) << "it never idled";
    ScriptServer mail("127.0.0.5", mailbox("+OK 1 10\r\n"), true);
    strcpy(user_settings.pop_server, "127.0.0.5");
    SendMessageA(window, WM_PUSH_NEWS, stopped, 0);
    EXPECT_EQ(mail.connections(), 0);
    SendMessageA(window, WM_PUSH_NEWS, current, 0);
    EXPECT_EQ(mail.connections(), 1);
    push_stop(2000);
    strcpy(user_settings.pop_server, SERVER);
}

// Mail delivered after a check's STATUS and before the push connection's
// EXAMINE starts a check at once: the window hands the push connection the
// check's next UID, and a larger one at EXAMINE is news.
TEST_F(MainWindow, MailBetweenTheCheckAndThePushConnectionStartsACheck)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    user_settings = settings_record({"imaps://127.0.0.44", "poptest", "Secr3t", "300", "", 0});
    last_mailbox = {};
    const std::string delivered = tls_maildir("127.0.0.44") + "new\\" + std::to_string(GetTickCount()) + ".M1P1.between";
    // Delivered as the check shows its notice: its STATUS is over, and the
    // push connection opens only after it.
    bool delivered_then = false;
    on_add_mail = [&] {
        delivered_then = write_file_bytes(delivered, "From: a@example.jp\r\nSubject: between\r\n\r\nHi.\r\n");
    };
    SendMessageA(window, WM_TIMER, CHECK_TIMER_ID, 0);
    on_add_mail = nullptr;
    ASSERT_TRUE(delivered_then) << "no check over IMAP showed a notice";
    EXPECT_NE(news_came(window), 0u) << "the push connection took the next UID it saw for the check's";
    push_stop(2000);
}

// A check that push news starts chimes only for mail that arrived: news
// comes for mail read or flagged elsewhere too.
TEST_F(MainWindow, PushNewsChimesOnlyForNewMail)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    user_settings.sound_on = 1;
    {
        ScriptServer mail("127.0.0.5", mailbox("+OK 2 20\r\n"));   // the mailbox known: its newest is id-2
        strcpy(user_settings.pop_server, "127.0.0.5");
        SendMessageA(window, WM_TIMER, CHECK_TIMER_ID, 0);
        strcpy(user_settings.pop_server, SERVER);
    }
    const struct { const char* name; const char* stat; bool chime; } rows[] = {
        {"a message read elsewhere: nothing new", "+OK 2 20\r\n", false},
        {"a message arrived", "+OK 3 30\r\n", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptServer mail("127.0.0.5", mailbox(row.stat));
        ScriptServer push(SERVER, idling_with_news());
        push_start(window, WM_PUSH_NEWS, 0);
        const WPARAM generation = news_came(window);
        ASSERT_NE(generation, 0u) << "it never idled";
        strcpy(user_settings.pop_server, "127.0.0.5");
        recorded_calls.clear();
        SendMessageA(window, WM_PUSH_NEWS, generation, 0);
        EXPECT_EQ(recorded_calls.size() == 3 && recorded_calls[0] == "sound", row.chime)
            << testing::PrintToString(recorded_calls);
        push_stop(2000);
        strcpy(user_settings.pop_server, SERVER);
    }
}

// A resume that never came is no reason to poll where polling had stopped
// after a failure: the fallback timer goes with the wake it stood for.
TEST_F(MainWindow, MissedResumeKeepsStoppedPollingStopped)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    strcpy(user_settings.pop_server, "127.0.0.250");   // refused: polling stops
    MessageBoxHook hook;
    SendMessageA(window, WM_TIMER, CHECK_TIMER_ID, 0);
    ASSERT_EQ(hook.boxes.size(), 1u);
    SendMessageA(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    SendMessageA(window, WM_TIMER, WAKE_TIMER_ID, 0);   // the fallback while "asleep"
    EXPECT_FALSE(KillTimer(window, WAKE_TIMER_ID)) << "left to fire again, it would start a check";
    EXPECT_FALSE(KillTimer(window, CHECK_TIMER_ID));
}

TEST_F(MainWindow, CheckNestedInAFailingChecksErrorBox)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    if (real_closesocket == nullptr)
        real_closesocket = redirect_import(&closesocket_slot, recording_closesocket);
    checking_thread = GetCurrentThreadId();
    close_results.clear();
    recorded_calls.clear();
    timer_calls.clear();

    // The outer check fails at the password; while its box is open the user
    // double-clicks the resident icon, points the settings at another server
    // and closes the dialog, which starts the inner check at once.
    ScriptServer failing(SERVER, {reply("+OK\r\n"), reply("+OK\r\n"),
                                  reply("-ERR [AUTH] Authentication failed.\r\n")});
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
    EXPECT_EQ(working.finish(), mailbox_exchange("taro", "secret", 4));
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
    EXPECT_FALSE(connection_is_open(&check_connection));
    EXPECT_STREQ(user_settings.pop_server, "127.0.0.5");
}

namespace {



struct FaultRow {
    const char* name;
    const char* server;              // where the check goes
    std::vector<ScriptStep> steps;   // empty: nothing listens there
    const char* box;                 // the error box's text, or none
    int notice;                      // the count on the new-mail icon, or 0
    bool server_sees_close;          // the server can watch the client close
    int slowest_s = 5;               // the error box comes within this many seconds
    int fastest_s = 0;               // and not before this many
    bool offline = false;            // this computer has no usable network
};


// A server or network fault of each kind through the window's timer tick:
// what only the window shows (the box's owner, the socket closed before it,
// polling stopped or going on, the tray answering). Each kind's other
// variants are checked at the check itself in mail_check_test.
std::vector<FaultRow> fault_rows()
{
    const std::string huge = "+OK " + std::string(64 * 1024, 'x');
    const ScriptStep OK{"+OK\r\n"};
    return {
        {"connection refused", "127.0.0.3", {}, "Mail connect error", 0, false},
        {"name does not resolve", "no-such-host.invalid", {}, "POPサーバー名取得に失敗", 0, false},
        // Without a network nothing is shown and polling goes on; a refusal is still the server's.
        {"name does not resolve, no network", "no-such-host.invalid", {}, nullptr, 0, false, 5, 0, true},
        {"connection refused, no network", "127.0.0.3", {}, "Mail connect error", 0, false, 5, 0, true},
        {"closed after greeting", SERVER, {reply("+OK ready\r\n", StepEnd::close)}, RECEIVE_FAILED, 0, true},
        {"PASS -ERR [AUTH]", SERVER, {OK, OK, reply("-ERR [AUTH] Authentication failed.\r\n")},
         "-ERR [AUTH] Authentication failed.", 0, true},
        {"STAT +OK 0 0", SERVER, mailbox("+OK 0 0\r\n"), nullptr, 0, true},
        {"one byte at a time", SERVER, in_pieces(mailbox("+OK 3 420\r\n"), 1, 3), nullptr, 3, true},
        {"LF-only line ends", SERVER, {reply("+OK\n"), reply("+OK\n"), reply("+OK\n"), reply("+OK 7 1\n"), {"7", StepEnd::uidl}},
         nullptr, 7, true},
        {"64 KiB without a line end", SERVER, {reply(huge, StepEnd::close)}, RECEIVE_FAILED, 0, true},
        {"binary bytes in replies", SERVER,
         {reply("+OK \0\x01\xFE\xFF\r\n"), reply("+OK\0\r\n"), reply("+OK \x1B[31m\r\n"), reply("+OK 2\0 99\r\n"), {"2", StepEnd::uidl}},
         nullptr, 2, true},
        {"NUL inside an error", SERVER, {OK, reply("-ERR bad\0hidden\r\n")}, "-ERR bad", 0, true},
        // The reply time is 2 s here (the fixture's ShortTimes).
        {"silent server", SERVER, {reply("", StepEnd::hang)}, RECEIVE_FAILED, 0, true, 4, 1},
        {"a flood without a line end", SERVER, {endless(std::string(4096, 'x'), 0, 0)},
         RECEIVE_FAILED, 0, true},
        {"reply stops mid-line", SERVER, {OK, OK, OK, reply("+OK 3", StepEnd::close)},
         STAT_RECEIVE_FAILED, 0, true},
        {"eleven-digit count", SERVER, mailbox("+OK 12345678901 5\r\n"), nullptr, 0, true},
        {"two replies in one packet", SERVER,
         {reply("+OK hi\r\n+OK user\r\n"), reply(""), reply("+OK in\r\n+OK 5 100\r\n"), reply(""), {"5", StepEnd::uidl}},
         nullptr, 5, true},
        // TLS asked for, and the server fails it.
        {"closed mid-handshake", "pop3s://127.0.0.4:110", {reply("", StepEnd::close)},
         HANDSHAKE_FAILED, 0, true},
    };
}

bool setup_lingered;

void CALLBACK cancel_lingering_setup(HWND dialog, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(dialog, timer);
    setup_lingered = true;
    PostMessageA(dialog, WM_COMMAND, IDC_CANCEL_BUTTON, 0);
}

class FaultMatrix : public MainWindow {
protected:
    ShortTimes times{2000};   // the rows that wait for a reply take seconds

    // One timer tick against the row's server: what the user sees, the
    // socket, whether polling goes on, and that the tray still answers,
    // during the box and after it.
    void check_row(const FaultRow& row)
    {
        strcpy(user_settings.pop_server, row.server);
        KillTimer(window, CHECK_TIMER_ID);
        recorded_calls.clear();
        timer_calls.clear();
        std::unique_ptr<ScriptServer> server;
        if (!row.steps.empty()) {
            server.reset(new ScriptServer(SERVER, row.steps));
            ASSERT_TRUE(server->listening());
        }
        MessageBoxHook hook;
        bool closed_before_box = false;
        DWORD started = GetTickCount(), box_after_ms = 0;
        hook.on_box = [&](const SeenBox&) {
            box_after_ms = GetTickCount() - started;
            if (server && row.server_sees_close)
                closed_before_box = server->wait_client_closed(3000);
            // A right-click on the resident icon while the box is up.
            PostMessageA(window, WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_RBUTTONDOWN);
        };
        {
            CheckWatchdog watchdog((row.slowest_s + 3) * 1000);
            network_present = !row.offline;
            SendMessageA(window, WM_TIMER, 0, 0);
            network_present = true;
            EXPECT_FALSE(watchdog.fired()) << "the check outlived its bound";
        }
        if (server) {
            if (row.server_sees_close) {
                EXPECT_TRUE(server->wait_client_closed(3000)) << "the socket was left open";
            }
            server->finish();
        }
        EXPECT_FALSE(connection_is_open(&check_connection));

        std::vector<std::string> expected;
        if (row.box != nullptr) {
            expect_one_error_box(hook, row.box, window);
            EXPECT_LE(box_after_ms, row.slowest_s * 1000u);
            EXPECT_GE(box_after_ms, row.fastest_s * 1000u);
            if (row.server_sees_close) {
                EXPECT_TRUE(closed_before_box) << "the socket was still open while the box showed";
            }
            expected.push_back("menu:MAINMENU");
        } else {
            EXPECT_TRUE(hook.boxes.empty());
        }
        if (row.notice > 0) {
            expected.push_back("remove_mail");
            expected.push_back("add_mail:合計" + std::to_string(row.notice) + "通のメールが着ています");
        }
        // Polling goes on after a check that succeeded, and only then.
        const bool succeeded = row.box == nullptr;
        EXPECT_EQ(KillTimer(window, CHECK_TIMER_ID) != 0, succeeded);
        EXPECT_EQ(timer_calls.size(), succeeded ? 1u : 0u);
        // And the tray answers afterwards.
        DWORD_PTR answer = 0;
        EXPECT_NE(SendMessageTimeoutA(window, WM_MAINICON_NOTIFY, MAIN_ICON_ID, WM_RBUTTONDOWN,
                                      SMTO_ABORTIFHUNG, 2000, &answer), 0);
        expected.push_back("menu:MAINMENU");
        EXPECT_EQ(recorded_calls, expected);
    }
};

// Counted by probing the small handle values, which also works where the
// platform's own handle count reads 0 (Wine). Sockets are handles too; they
// are the ones that answer to getsockopt.
struct Footprint {
    int handles;
    int sockets;
    size_t private_bytes;
};

Footprint footprint()
{
    Footprint now = {};
    for (uintptr_t value = 4; value < 0x4000; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++now.handles;
        int type = 0;
        int length = sizeof type;
        if (getsockopt(static_cast<SOCKET>(value), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                       &length) == 0)
            ++now.sockets;
    }
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    now.private_bytes = memory.PagefileUsage;   // the committed private bytes
    return now;
}

void print_footprint(const char* when, const Footprint& f)
{
    printf("hygiene %-22s handles %5d  sockets %2d  private bytes %9zu\n", when, f.handles,
           f.sockets, f.private_bytes);
}

} // namespace

TEST_F(FaultMatrix, EveryRow)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    for (const FaultRow& row : fault_rows()) {
        SCOPED_TRACE(row.name);
        check_row(row);
    }
}

TEST_F(FaultMatrix, NetworkBackAfterAQuietFailureChecksAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    check_row({"offline", "no-such-host.invalid", {}, nullptr, 0, false, 5, 0, true});
    ScriptServer server(SERVER, mailbox("+OK 0 0\r\n"));
    strcpy(user_settings.pop_server, SERVER);
    SendMessageA(window, WM_NETWORK_CHANGED, 0, 0);
    EXPECT_EQ(server.finish(), "USER taro\r\nPASS secret\r\nSTAT\r\n");
}

// A user.ini that cannot be read as one, or reads oddly: start-up goes the
// way the file allows, and the file is never changed by it.
TEST_F(FaultMatrix, UnusualUserIniAtStartUpLosesNothing)
{
    std::string garbage;
    for (int i = 0; i < 600; ++i)
        garbage += static_cast<char>((i * 7919 + 13) % 256 == 0x1A ? 0 : (i * 7919 + 13) % 256);
    std::string thousand = std::string(SERVER) + "\r\ntaro\r\nsecret\r\n300\r\nnotepad.exe\r\nON\r\n";
    for (int i = 6; i < 1000; ++i)
        thousand += "line " + std::to_string(i) + "\r\n";
    enum class Kind { folder, held, bytes };
    struct Row {
        const char* name;
        Kind kind;
        std::string bytes;
        const char* box;   // the error box of start-up, or none
        bool runs;         // the window lives on
        std::vector<std::string> calls;
    } rows[] = {
        // A folder: the setup dialog comes; saving over it fails, and a
        // cancel then ends the program with the folder as it was.
        {"a folder", Kind::folder, "", "User file create error", false, {"remove_main", "remove_mail"}},
        // Held by another program: no first run; the box names the file.
        {"held without sharing", Kind::held, thousand, "を開けませんでした。", false,
         {"remove_main", "remove_mail"}},
        // Readable: used as it stands.
        {"binary garbage", Kind::bytes, garbage, "POPサーバー名取得に失敗", true,
         {"add_main:Quillbeam v1.1"}},
        {"a thousand lines", Kind::bytes, thousand, nullptr, true,
         {"add_main:Quillbeam v1.1", "sound", "remove_mail", "add_mail:合計2通のメールが着ています"}},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string ini = folder + "\\user.ini";
        HANDLE held = INVALID_HANDLE_VALUE;
        if (row.kind == Kind::folder) {
            ASSERT_TRUE(CreateDirectoryA(ini.c_str(), nullptr));
        } else {
            ASSERT_TRUE(write_file_bytes(ini, row.bytes));
        }
        if (row.kind == Kind::held) {
            held = CreateFileA(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        recorded_calls.clear();
        timer_calls.clear();
        memset(&user_settings, 0, sizeof user_settings);
        int setup_shown = 0;
        setup_lingered = false;
        MessageBoxHook hook([&](HWND w) {
            if (window_text(w) != "初期設定")
                return false;
            if (++setup_shown == 1) {
                SetWindowTextA(GetDlgItem(w, IDC_POP_SERVER), "pop.example.jp");
                SetWindowTextA(GetDlgItem(w, IDC_ACCOUNT), "hanako");
                SetWindowTextA(GetDlgItem(w, IDC_PASSWORD), "new");
                SetWindowTextA(GetDlgItem(w, IDC_MAILER_PATH), "/mail.exe");
                PostMessageA(GetDlgItem(w, IDC_OK_BUTTON), BM_CLICK, 0, 0);
            } else {
                // The failed save must have ended the setup by itself; if
                // the dialog is still there in 3 s, it did not.
                SetTimer(w, TEST_TIMER_ID, 3000, cancel_lingering_setup);
            }
            return true;
        });
        ScriptServer server(SERVER, mailbox("+OK 2 99\r\n"));
        create();
        if (row.kind == Kind::bytes)
            server.wait_client_closed(3000);
        server.finish();

        EXPECT_EQ(setup_shown > 0, row.kind == Kind::folder);
        EXPECT_FALSE(setup_lingered) << "the setup went on after its save had failed";
        if (row.box != nullptr) {
            ASSERT_EQ(hook.boxes.size(), 1u);
            EXPECT_EQ(hook.boxes[0].text.rfind(row.kind == Kind::held ? ini + "\r\n" + row.box : row.box, 0), 0u)
                << hook.boxes[0].text;
        } else {
            EXPECT_TRUE(hook.boxes.empty());
        }
        EXPECT_EQ(window != nullptr && IsWindow(window), row.runs);
        EXPECT_EQ(recorded_calls, row.calls);
        // Polling only after a check that went through.
        EXPECT_EQ(timer_calls.size(), row.runs && row.box == nullptr ? 1u : 0u);

        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        if (row.kind == Kind::folder) {
            DWORD attributes = GetFileAttributesA(ini.c_str());
            EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
            EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
            EXPECT_TRUE(RemoveDirectoryA(ini.c_str()));
        } else {
            EXPECT_EQ(read_file_bytes(ini), row.bytes);
            DeleteFileA(ini.c_str());
        }
        if (window != nullptr && IsWindow(window))
            DestroyWindow(window);
        else
            restore_socket_library();
        window = nullptr;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
}

// A thousand checks in one process, every row but the 30-second ones in
// turn: nothing the checks open may pile up.
TEST_F(FaultMatrix, AThousandChecksLeaveNothingBehind)
{
    ASSERT_NO_FATAL_FAILURE(start_window());
    // The probes see what they should: one more event, one more socket.
    {
        const Footprint empty = footprint();
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        SOCKET probe = socket(AF_INET, SOCK_STREAM, 0);
        const Footprint more = footprint();
        EXPECT_GE(more.handles, empty.handles + 1);
        EXPECT_EQ(more.sockets, empty.sockets + 1);
        EXPECT_GT(more.private_bytes, 0u);
        closesocket(probe);
        CloseHandle(event);
    }
    std::vector<FaultRow> rows;
    for (FaultRow& row : fault_rows()) {
        if (row.fastest_s == 0)
            rows.push_back(row);
    }
    // The first half warms up what the platform and the test's own servers
    // keep once grown; the second half must then add nothing.
    Footprint start_figures = footprint(), half = {};
    print_footprint("at the start", start_figures);
    int checks = 0;
    for (size_t i = 0; checks < 1000; ++i) {
        const FaultRow& row = rows[i % rows.size()];
        SCOPED_TRACE(row.name);
        check_row(row);
        if (HasFailure())
            break;
        if (++checks == 500) {
            half = footprint();
            print_footprint("after 500 checks", half);
        }
    }
    const Footprint after = footprint();
    print_footprint("after 1000 checks", after);
    ASSERT_EQ(checks, 1000);
    EXPECT_EQ(after.handles, half.handles);
    EXPECT_EQ(after.sockets, start_figures.sockets);
    EXPECT_LE(after.private_bytes, half.private_bytes + 64 * 1024);
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
    // The box of this very process: one left by another program must not count.
    HWND box = nullptr;
    for (int i = 0; i < 200 && box == nullptr; ++i) {
        Sleep(50);
        for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", "Exclamation"); w != nullptr;
             w = FindWindowExA(nullptr, w, "#32770", "Exclamation")) {
            DWORD owner_process = 0;
            GetWindowThreadProcessId(w, &owner_process);
            if (owner_process == process.dwProcessId && IsWindowVisible(w))
                box = w;
        }
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
