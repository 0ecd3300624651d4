#include "tests/support/recording_doubles.h"

#include "shell/shell.h"
#include "tray/tray.h"

std::vector<std::string> recorded_calls;

int play_new_mail_sound() { recorded_calls.push_back("sound"); return 1; }
int add_main_icon(HWND, const char* tip) { recorded_calls.push_back(std::string("add_main:") + tip); return 1; }
int remove_main_icon(HWND) { recorded_calls.push_back("remove_main"); return 1; }
int add_mail_icon(HWND, const char* tip) { recorded_calls.push_back(std::string("add_mail:") + tip); return 1; }
int remove_mail_icon(HWND) { recorded_calls.push_back("remove_mail"); return 1; }
int show_popup_menu(HWND, const char* name) { recorded_calls.push_back(std::string("menu:") + name); return 1; }
int launch_mailer() { recorded_calls.push_back("launch"); return 1; }
int select_mailer(HWND) { recorded_calls.push_back("select_mailer"); return 0; }
HRESULT create_startup_shortcut(const char*, const char*, const char*, const char*, const char*,
                                const char*, int, int)
{
    recorded_calls.push_back("shortcut");
    return S_OK;
}
