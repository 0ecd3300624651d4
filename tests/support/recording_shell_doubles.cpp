#include "tests/support/recording_shell_doubles.h"

#include "shell/shell.h"
#include "tray/tray.h"

std::vector<std::string> notice_calls;

int play_new_mail_sound()
{
    notice_calls.push_back("sound");
    return 1;
}

int remove_mail_icon(HWND)
{
    notice_calls.push_back("remove");
    return 1;
}

int add_mail_icon(HWND, const char* tip)
{
    notice_calls.push_back(std::string("add:") + tip);
    return 1;
}
