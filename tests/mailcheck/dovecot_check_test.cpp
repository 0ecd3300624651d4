// The check against a real POP3 server: Dovecot on 127.0.0.9 with three
// messages (started by the ctest fixture).
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "mailcheck/mail_check.h"
#include "settings/user_settings.h"
#include "tests/support/message_box_hook.h"
#include "tests/support/recording_doubles.h"
#include "tests/support/settings_record.h"
#include "tests/support/test_files.h"

namespace {

void use_mailbox(const char* password)
{
    user_settings = settings_record({"127.0.0.9", "poptest", password});
    recorded_calls.clear();
}

// The fixture's Maildir, beside this test program whatever folder it runs in.
std::string new_mail_folder() { return beside_this_program("dovecot\\mail\\poptest\\Maildir\\new\\"); }

void deliver(const char* name)
{
    const std::string message = std::string("From: a@example.jp\r\nSubject: ") + name + "\r\n\r\nHi.\r\n";
    HANDLE file = CreateFileA((new_mail_folder() + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
    CloseHandle(file);
}

// Another client that downloads and deletes the newest message.
void delete_message(int number)
{
    static Connection c;   // large: not on the stack
    ReplyLine line;
    ASSERT_EQ(connection_open(&c, "127.0.0.9", 110), Reach::connected);
    const std::string dele = "DELE " + std::to_string(number) + "\r\n";
    for (const char* command : {"USER poptest\r\n", "PASS Secr3t\r\n", dele.c_str(), "QUIT\r\n"}) {
        ASSERT_TRUE(connection_read_line(&c, &line));
        ASSERT_EQ(line.text[0], '+') << line.text;
        ASSERT_TRUE(connection_send(&c, command, lstrlenA(command)));
    }
    ASSERT_TRUE(connection_read_line(&c, &line));   // QUIT's: the deletion is done
    connection_close(&c);
}

} // namespace

// A mailer that downloads and deletes took the message the last check saw
// as the newest, and another came, all within one interval: a notification.
TEST(Dovecot, NewMailAfterTheNewestWasDeletedIsAnnounced)
{
    use_mailbox("Secr3t");
    last_mailbox = {};
    MessageBoxHook hook;
    ASSERT_EQ(check_mailbox(nullptr), 1);   // the three of the fixture
    ASSERT_NO_FATAL_FAILURE(deliver("3000000001.M1P1.seen"));
    recorded_balloons.clear();
    ASSERT_EQ(check_mailbox(nullptr), 1);
    EXPECT_EQ(recorded_balloons.size(), 1u) << "it arrived";
    ASSERT_NO_FATAL_FAILURE(delete_message(4));
    ASSERT_NO_FATAL_FAILURE(deliver("3000000002.M1P1.next"));
    recorded_balloons.clear();
    EXPECT_EQ(check_mailbox(nullptr), 1);
    EXPECT_EQ(recorded_balloons.size(), 1u) << "the one after the deleted newest is new";
    EXPECT_TRUE(hook.boxes.empty());
    delete_message(4);   // the fixture's three again
}

TEST(Dovecot, CountsThreeMessages)
{
    use_mailbox("Secr3t");
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(nullptr), 1);
    EXPECT_TRUE(hook.boxes.empty());
    std::vector<std::string> expected = {"sound", "remove_mail", "add_mail:合計3通のメールが着ています"};
    EXPECT_EQ(recorded_calls, expected);
    // No QUIT was sent, so the messages are still there for the next check.
    recorded_calls.clear();
    EXPECT_EQ(check_mailbox(nullptr), 1);
    EXPECT_EQ(recorded_calls, expected);
}

TEST(Dovecot, WrongPasswordShowsTheServersText)
{
    use_mailbox("wrong");
    MessageBoxHook hook;
    EXPECT_EQ(check_mailbox(nullptr), 0);
    expect_one_error_box(hook, "-ERR [AUTH] Authentication failed.", nullptr);
    EXPECT_TRUE(recorded_calls.empty());
}
