// The settings record, the program path form and the user.ini format.
// Everything declared here is portable: no windows.h, so the native build
// can test and fuzz it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "settings/cp932_text.h"

// Capacities of the text slots, terminator included.
constexpr size_t SETTING_TEXT_SIZE = 255;   // pop_server, account, password, check_time
constexpr size_t MAILER_PATH_SIZE = 260;
constexpr size_t SETTINGS_PATH_SIZE = 260;
constexpr size_t SOUND_LINE_SIZE = 48;       // scratch for the ON/OFF line

struct UserSettings {
    char pop_server[SETTING_TEXT_SIZE];
    char account[SETTING_TEXT_SIZE];
    char password[SETTING_TEXT_SIZE];
    char check_time[SETTING_TEXT_SIZE];
    char mailer_path[MAILER_PATH_SIZE];
    int sound_on;
};

// The one record of the process, zero-filled at start.
extern UserSettings user_settings;
// Full name of user.ini in program path form; fixed once at start.
extern char settings_path[SETTINGS_PATH_SIZE];

// Drops the drive prefix and turns backslashes into slashes, in place.
// Trail bytes of code page 932 double-byte characters are left alone, and a
// network path (\\server\share\...) is kept whole.
int to_program_path(char* path);
bool is_unc_path(const char* path);

// The form a mailer chosen with the file chooser is kept in: the program
// path form when it lies on the drive of the current directory (so a program
// carried on a removable drive finds a mailer on that drive, whatever its
// letter), otherwise the whole path as chosen.
int to_mailer_path(char* path, const char* current_directory);

// Copies a path in program path form with its slashes turned back into
// backslashes, for the file calls. On Windows both name the same file; Wine
// would take a path that begins with '/' for a Unix path.
void to_windows_path(const char* path, char* out, size_t out_size);

// Leading white space, one optional sign, then digits; wraps modulo 2^32.
int32_t parse_decimal(const char* text);

// Joins a directory in program path form and "user.ini" into out.
// Returns 0 (out left empty) when the result does not fit.
int join_settings_path(const char* directory, char* out, size_t out_size);

// Reads the six lines of user.ini from a stream opened in binary mode into
// settings. CR LF and a lone LF end a line, a lone CR is an ordinary byte and
// Ctrl-Z ends the file. Lines that are missing leave their fields untouched.
void read_settings_stream(FILE* stream, UserSettings* settings);

// Writes the six lines, each ended by CR LF, to a stream opened in binary
// mode. Returns 1 when every write succeeded, 0 otherwise.
int write_settings_stream(FILE* stream, const UserSettings* settings);
