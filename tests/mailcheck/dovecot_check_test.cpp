// The check against a real POP3 server: Dovecot on 127.0.0.9 with three
// messages (started by the ctest fixture).
#include <gtest/gtest.h>

#include <string.h>

#include "mailcheck/mail_check.h"
#include "settings/user_settings.h"
#include "tests/support/message_box_hook.h"
#include "tests/support/recording_doubles.h"
#include "tests/support/settings_record.h"

namespace {

void use_mailbox(const char* password)
{
    user_settings = settings_record({"127.0.0.9", "poptest", password});
    recorded_calls.clear();
}

} // namespace

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
