// Stand-ins for the tray icons and the shell services that record each call,
// so a test sees what the user would see and in which order:
// "sound", "add_main:<tip>", "remove_main", "add_mail:<tip>", "remove_mail",
// "menu:<name>", "launch", "select_mailer", "shortcut"; each marked
// "(socket still open)" when it came while the check's socket was open.
#pragma once

#include <string>
#include <vector>

extern std::vector<std::string> recorded_calls;
