// Stand-ins for the new-mail icon and sound that record each call, so a test
// of the check sees what the user would see and in which order.
#pragma once

#include <string>
#include <vector>

extern std::vector<std::string> notice_calls;   // "sound", "remove", "add:<tip>"
