// The check signed in with OAuth2: against Dovecot's oauth2 passdb on
// 127.0.0.45 and the tests' authorization server on 127.0.0.51 (both started
// by the tls fixture), and against scripted servers for what Dovecot never
// does. A sign-in is stored as the browser's would leave it: a refresh
// token the authorization server takes once ("seed.…").
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailcheck/mail_check.h"
#include "mailcheck/push_watch.h"
#include "settings/user_settings.h"
#include "resources/resource.h"
#include "signin/browser_signin.h"
#include "signin/sign_in.h"
#include "signin/token_store.h"
#include "tests/support/message_box_hook.h"
#include "tests/support/pop3_script_server.h"
#include "tests/support/recording_doubles.h"
#include "tests/support/settings_record.h"
#include "tests/support/test_files.h"

namespace {

const char* const NOTICE = "add_mail:合計3通のメールが着ています";

std::string unique(const char* prefix)
{
    static int n = 0;
    return prefix + std::to_string(GetTickCount()) + "-" + std::to_string(++n);
}

class SignedIn : public testing::Test {
protected:
    void SetUp() override
    {
        // user.ini (and beside it the sign-in) in the working directory, as the program keeps it.
        folder = make_scratch_folder("signin");
        GetCurrentDirectoryA(MAX_PATH, previous_directory);
        SetCurrentDirectoryA(folder.c_str());
        const std::string settings = program_path_of(folder + "\\user.ini");
        lstrcpynA(settings_path, settings.c_str(), SETTINGS_PATH_SIZE);
        // The test server's own registration, as a user's or a company's would be.
        ASSERT_TRUE(write_file_bytes(folder + "\\oauth.ini",
                                     test_registration("127.0.0.45") + test_registration("127.0.0.2")));
        last_mailbox = {};
        signin_drop_access_token();
    }

    void TearDown() override
    {
        SetCurrentDirectoryA(previous_directory);
        signin_give_up_ms = 10 * 60 * 1000;
    }

    // The check's settings: the server as typed, the password empty.
    void use(const char* server, const std::string& refresh_token)
    {
        user_settings = settings_record({server, "poptest", ""});
        StoredSignin stored = {};
        lstrcpyA(stored.server, server);
        lstrcpyA(stored.account, "poptest");
        lstrcpyA(stored.refresh_token, refresh_token.c_str());
        ASSERT_TRUE(save_signin(stored));
        recorded_calls.clear();
    }

    static std::string stored_refresh_token()
    {
        StoredSignin stored;
        return load_signin(&stored) ? stored.refresh_token : "<none>";
    }

    // How often text stands in a log of the fixture's servers.
    static int count_in(const char* log, const char* text)
    {
        const std::string bytes = read_file_bytes(tls_folder() + log);
        int count = 0;
        for (size_t at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1))
            ++count;
        return count;
    }
    static int refreshes() { return count_in("\\auth\\requests.log", "refresh"); }

    std::string folder;
    char previous_directory[MAX_PATH];
};

} // namespace

TEST_F(SignedIn, CountsOverPop3AndImapPlainAndTls)
{
    for (const char* server : {"127.0.0.45", "starttls://127.0.0.45", "127.0.0.45:995", "imaps://127.0.0.45"}) {
        const std::string seed = unique("seed.poptest.");
        ASSERT_NO_FATAL_FAILURE(use(server, seed));
        MessageBoxHook hook;
        EXPECT_EQ(check_mailbox(nullptr), 1) << server;
        EXPECT_TRUE(hook.boxes.empty()) << server << ": " << (hook.boxes.empty() ? "" : hook.boxes[0].text);
        EXPECT_EQ(recorded_calls, std::vector<std::string>({"sound", "remove_mail", NOTICE})) << server;
        const std::string rotated = stored_refresh_token();
        EXPECT_EQ(rotated.rfind("rt-", 0), 0u) << server << ": the refresh token the provider returned is kept";
        const std::string file = read_file_bytes(folder + "\\signin.dat");
        EXPECT_EQ(file.find(rotated), std::string::npos) << "never in clear";
        EXPECT_EQ(file.find("poptest"), std::string::npos);
    }
}

TEST_F(SignedIn, AnExpiredAccessTokenIsRefreshedAndTheRotatedOneStored)
{
    ASSERT_NO_FATAL_FAILURE(use("imaps://127.0.0.45", unique("seed.poptest.") + ".ttl8"));
    MessageBoxHook hook;
    ASSERT_EQ(check_mailbox(nullptr), 1);
    const std::string first = stored_refresh_token();
    const int before = refreshes();
    ASSERT_EQ(check_mailbox(nullptr), 1);
    EXPECT_EQ(refreshes(), before) << "a token still good is used again";
    Sleep(6500);   // past three quarters of its eight seconds: renewed before it ends
    recorded_calls.clear();
    ASSERT_EQ(check_mailbox(nullptr), 1);
    EXPECT_EQ(refreshes(), before + 1);
    EXPECT_NE(stored_refresh_token(), first);
    EXPECT_TRUE(hook.boxes.empty());
    EXPECT_EQ(recorded_calls, std::vector<std::string>({"sound", "remove_mail", NOTICE}));
}

TEST_F(SignedIn, ARefusedSignInIsSaidOnceAndNeverAskedAgain)
{
    const std::string seed = unique("seed.poptest.");
    ASSERT_NO_FATAL_FAILURE(use("127.0.0.45", seed));
    ASSERT_EQ(check_mailbox(nullptr), 1);
    signin_drop_access_token();
    ASSERT_NO_FATAL_FAILURE(use("127.0.0.45", seed));   // used: refused with invalid_grant
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(nullptr), 0);
    const int after = refreshes();
    EXPECT_EQ(stored_refresh_token(), "<none>") << "a dead sign-in is forgotten";
    EXPECT_EQ(check_mailbox(nullptr), 0);
    EXPECT_EQ(refreshes(), after) << "nothing asks with it again";
    ASSERT_EQ(hook.boxes.size(), 2u);
    EXPECT_EQ(hook.boxes[0].text, signin_error_text(SigninError::expired));
    EXPECT_EQ(hook.boxes[1].text, signin_error_text(SigninError::not_signed_in));
    EXPECT_TRUE(recorded_calls.empty());
}

TEST_F(SignedIn, ProviderErrorsAreOnePlainSentence)
{
    struct Row {
        const char* refresh_token;   // the authorization server answers Microsoft's error for it
        SigninError said;
    } rows[] = {
        {"error.65001", SigninError::admin_approval},
        {"error.90094", SigninError::admin_approval},
        {"error.50020", SigninError::work_account_only},
    };
    for (const Row& row : rows) {
        ASSERT_NO_FATAL_FAILURE(use("127.0.0.45", row.refresh_token));
        MessageBoxHook hook;
        EXPECT_EQ(check_mailbox(nullptr), 0);
        ASSERT_EQ(hook.boxes.size(), 1u) << row.refresh_token;
        EXPECT_EQ(hook.boxes[0].text, signin_error_text(row.said)) << row.refresh_token;
    }
    // No client id for the provider: said before anything is asked.
    ASSERT_TRUE(write_file_bytes(folder + "\\oauth.ini", test_registration("127.0.0.45", "")));
    ASSERT_NO_FATAL_FAILURE(use("127.0.0.45", unique("seed.poptest.")));
    MessageBoxHook hook;
    const int before = refreshes();
    EXPECT_EQ(check_mailbox(nullptr), 0);
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text, signin_error_text(SigninError::no_client_id));
    EXPECT_EQ(refreshes(), before);
}

// What only a scripted server shows: the exact lines of the login and the
// answers Dovecot never gives.
TEST_F(SignedIn, Pop3LoginLinesAndRefusals)
{
    const std::string capa_xoauth2 = "+OK\r\nSASL PLAIN XOAUTH2 OAUTHBEARER\r\n.\r\n";
    const std::string challenge = "+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=\r\n";
    struct Row {
        const char* name;
        std::vector<ScriptStep> steps;
        const char* auth_line;   // what the AUTH command line must be
        const char* answer;      // the line after the response, nullptr: none
        const char* box;         // nullptr: the count
    } rows[] = {
        {"XOAUTH2 in two steps, the command within 255 octets",
         {reply("+OK\r\n"), reply(capa_xoauth2), reply("+ \r\n"), reply("+OK\r\n"), reply("+OK 3 30\r\n"),
          ScriptStep{"3", StepEnd::uidl}},
         "AUTH XOAUTH2\r\n", nullptr, nullptr},
        {"OAUTHBEARER where it is offered alone",
         {reply("+OK\r\n"), reply("+OK\r\nSASL OAUTHBEARER\r\n.\r\n"), reply("+ \r\n"), reply("+OK\r\n"),
          reply("+OK 3 30\r\n"), ScriptStep{"3", StepEnd::uidl}},
         "AUTH OAUTHBEARER\r\n", nullptr, nullptr},
        {"no CAPA: XOAUTH2",
         {reply("+OK\r\n"), reply("-ERR\r\n"), reply("+ \r\n"), reply("+OK\r\n"), reply("+OK 3 30\r\n"),
          ScriptStep{"3", StepEnd::uidl}},
         "AUTH XOAUTH2\r\n", nullptr, nullptr},
        {"a refused token's challenge is answered and the server's word shown",
         {reply("+OK\r\n"), reply(capa_xoauth2), reply("+ \r\n"), reply(challenge),
          reply("-ERR [AUTH] Authentication failed.\r\n", StepEnd::close)},
         "AUTH XOAUTH2\r\n", "\r\n", "-ERR [AUTH] Authentication failed."},
        {"Exchange: OK for another account's token, then not connected",
         {reply("+OK\r\n"), reply(capa_xoauth2), reply("+ \r\n"), reply("+OK\r\n"),
          reply("-ERR User is authenticated but not connected.\r\n", StepEnd::close)},
         "AUTH XOAUTH2\r\n", nullptr, "サインインしたアカウントがアカウント欄と違います"},
    };
    for (const Row& row : rows) {
        ASSERT_NO_FATAL_FAILURE(use("127.0.0.2", unique("seed.poptest.")));
        ScriptServer server("127.0.0.2", row.steps);
        MessageBoxHook hook;
        EXPECT_EQ(check_mailbox(nullptr), row.box == nullptr ? 1 : 0) << row.name;
        const std::string sent = server.finish();
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = sent.find("\r\n", at)) != std::string::npos; at = end + 2)
            lines.push_back(sent.substr(at, end + 2 - at));
        ASSERT_GE(lines.size(), 3u) << row.name;
        EXPECT_EQ(lines[1], row.auth_line) << row.name;
        EXPECT_GT(lines[2].size(), 255u) << row.name << ": the response, on a line of its own";
        if (row.answer != nullptr) {
            ASSERT_GE(lines.size(), 4u) << row.name;
            EXPECT_EQ(lines[3], row.answer) << row.name;
        }
        if (row.box != nullptr) {
            expect_one_error_box(hook, row.box, nullptr);
        } else {
            EXPECT_TRUE(hook.boxes.empty()) << row.name;
            EXPECT_EQ(recorded_calls, std::vector<std::string>({"sound", "remove_mail", NOTICE})) << row.name;
        }
    }
}

// The browser's way, the browser played by tests/support/test-browser
// through Wine's browser setting: each way a sign-in can end.
TEST_F(SignedIn, TheBrowsersWayEndsEachWayItCan)
{
    // The page's own sentence, as the browser got it.
    const char* const done = "サインインが終わりました。";
    const char* const failed = "サインインできませんでした。";
    struct Row {
        const char* mode;
        const char* client_id;   // "deny": the authorization server answers access_denied
        DWORD give_up_ms;
        bool cancel;             // the user presses Cancel
        SigninError result;
        const char* browser_saw;
    } rows[] = {
        {"follow", "quillbeam-test", 60000, false, SigninError::none, done},
        {"wrong-state", "quillbeam-test", 60000, false, SigninError::none, "wrong state 400"},
        {"silent-first", "quillbeam-test", 60000, false, SigninError::none, done},
        {"follow", "deny", 60000, false, SigninError::denied, failed},
        {"ignore", "quillbeam-test", 2000, false, SigninError::gave_up, "opened http://127.0.0.51/authorize"},
        {"ignore", "quillbeam-test", 60000, true, SigninError::cancelled, "opened http://127.0.0.51/authorize"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.mode) + " " + row.client_id);
        ASSERT_TRUE(write_file_bytes(folder + "\\oauth.ini", test_registration("127.0.0.45", row.client_id)));
        forget_signin();
        use_test_browser(row.mode);
        signin_give_up_ms = row.give_up_ms;
        MessageBoxHook hook([&](HWND w) {
            char caption[32];
            GetWindowTextA(w, caption, sizeof caption);
            if (!row.cancel || lstrcmpA(caption, "サインイン") != 0)
                return false;
            PostMessageA(w, WM_COMMAND, IDC_CANCEL_BUTTON, 0);
            return true;
        });
        EXPECT_EQ(sign_in_with_browser(nullptr, {"127.0.0.45", "127.0.0.45", "poptest", false}), row.result);
        EXPECT_NE(browser_log(row.browser_saw, 5000).find(row.browser_saw), std::string::npos) << browser_log();
        EXPECT_EQ(browser_log().find("code="), std::string::npos) << "the page never shows the code";
        EXPECT_EQ(signin_stored_for("127.0.0.45", "poptest"), row.result == SigninError::none);
        if (row.result != SigninError::none)
            continue;
        // Signed in: the check logs in with what the browser brought.
        user_settings = settings_record({"127.0.0.45", "poptest", ""});
        recorded_calls.clear();
        EXPECT_EQ(check_mailbox(nullptr), 1);
        EXPECT_EQ(recorded_calls, std::vector<std::string>({"sound", "remove_mail", NOTICE}));
        EXPECT_TRUE(hook.boxes.empty());
    }
}

// Gmail ends an OAuth session with its token: the push connection logs in
// again, with a renewed token, before that, and says nothing of it.
TEST_F(SignedIn, ThePushConnectionLogsInAgainBeforeItsTokenEnds)
{
    ASSERT_NO_FATAL_FAILURE(use("imaps://127.0.0.45", unique("seed.poptest.") + ".ttl8"));
    CheckOutcome outcome;
    MessageBoxHook hook;
    ASSERT_EQ(check_mailbox(nullptr, {}, &outcome), 1);
    ASSERT_TRUE(outcome.offers_push);
    auto logins = [] { return count_in("\\127.0.0.45\\dovecot.log", "imap-login: Info: Login"); };
    const int before = logins();
    const int refreshed = refreshes();
    HWND window = CreateWindowExA(0, "STATIC", "push", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    push_start(window, WM_USER + 4, outcome.uidnext);
    // Renewed at six of its eight seconds: the second session by ten.
    for (int i = 0; i < 100 && logins() < before + 2; ++i)
        Sleep(100);
    EXPECT_TRUE(push_stop(5000));
    EXPECT_GE(logins(), before + 2) << "one session, then another with the renewed token";
    EXPECT_GE(refreshes(), refreshed + 1);
    MSG news;
    EXPECT_FALSE(PeekMessageA(&news, window, WM_USER + 4, WM_USER + 4, PM_REMOVE)) << "no news of it";
    EXPECT_TRUE(hook.boxes.empty());
    DestroyWindow(window);
}
