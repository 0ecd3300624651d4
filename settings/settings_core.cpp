// user.ini format, program path form and decimal parsing: the portable half
// of the settings module.
#include "settings/user_settings.h"

#include <string.h>

#include "settings/cp932_text.h"

UserSettings user_settings;
char settings_path[SETTINGS_PATH_SIZE];

namespace {

const int CTRL_Z = 0x1A;

struct LineSource {
    FILE* stream;
    bool ended;      // end of file or Ctrl-Z seen
    int pending;     // a byte read ahead after a lone CR, or EOF
};

int next_byte(LineSource* source)
{
    if (source->ended)
        return EOF;
    int c;
    if (source->pending != EOF) {
        c = source->pending;
        source->pending = EOF;
    } else {
        c = fgetc(source->stream);
    }
    if (c == EOF || c == CTRL_Z) {
        source->ended = true;
        return EOF;
    }
    if (c == '\r') {
        int next = fgetc(source->stream);
        if (next == '\n')
            return '\n';
        source->pending = next;   // a lone CR stays an ordinary byte
    }
    return c;
}

// Reads one line into field (at most field_size - 1 bytes kept, the rest of
// the line read and dropped). Returns 0 when the file had ended before the
// line began; the field is then left as it was.
int read_line(LineSource* source, char* field, size_t field_size)
{
    // A line longer than the slot is read whole so that the following lines
    // stay where they belong; scratch holds what may be kept.
    char scratch[MAILER_PATH_SIZE];
    size_t kept = 0;
    size_t limit = field_size - 1;
    bool any = false;
    bool overflow = false;
    for (;;) {
        int c = next_byte(source);
        if (c == EOF)
            break;
        any = true;
        if (c == '\n')
            break;
        if (kept < limit)
            scratch[kept++] = static_cast<char>(c);
        else
            overflow = true;
    }
    if (!any)
        return 0;
    if (overflow)
        kept = cp932_cut(scratch, kept, limit);
    memcpy(field, scratch, kept);
    field[kept] = '\0';
    return 1;
}

int write_line(FILE* stream, const char* text)
{
    return fputs(text, stream) >= 0 && fputs("\r\n", stream) >= 0;
}

} // namespace

bool is_unc_path(const char* path)
{
    return path[0] == '\\' && path[1] == '\\';
}

int to_program_path(char* path)
{
    // A network path names no drive: without its "\\" it would name a
    // folder on the current drive.
    if (is_unc_path(path))
        return 1;
    if (path[0] != '/') {
        // Drop the drive letter and its colon; a text shorter than that
        // becomes empty.
        size_t length = strlen(path);
        size_t drop = length < 2 ? length : 2;
        memmove(path, path + drop, length - drop + 1);
    }
    for (size_t i = 0; path[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (is_cp932_lead_byte(c)) {
            if (path[i + 1] == '\0')
                break;
            ++i;   // the trail byte may be 0x5C and is part of the character
        } else if (c == '\\') {
            path[i] = '/';
        }
    }
    return 1;
}

int to_mailer_path(char* path, const char* current_directory)
{
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    bool same_drive = path[0] != '\0' && path[1] == ':' && current_directory[0] != '\0'
        && current_directory[1] == ':' && upper(path[0]) == upper(current_directory[0]);
    if (same_drive)
        to_program_path(path);
    return 1;
}

void to_windows_path(const char* path, char* out, size_t out_size)
{
    size_t length = copy_text(out, out_size, path);
    for (size_t i = 0; i < length; ++i) {
        if (is_cp932_lead_byte(static_cast<unsigned char>(out[i])))
            ++i;
        else if (out[i] == '/')
            out[i] = '\\';
    }
}

int32_t parse_decimal(const char* text)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (is_white_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint32_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
        ++p;
    }
    if (negative)
        value = 0u - value;
    return static_cast<int32_t>(value);
}

int join_settings_path(const char* directory, char* out, size_t out_size)
{
    static const char name[] = "user.ini";
    size_t length = strlen(directory);
    // A drive's root already ends with the slash: "//user.ini" would be
    // taken for a network name. A network directory keeps its own separators.
    const char separator = is_unc_path(directory) ? '\\' : '/';
    bool slash = length == 0 || directory[length - 1] != separator;
    size_t total = length + (slash ? 1 : 0) + sizeof name - 1;
    if (total >= out_size) {
        if (out_size > 0)
            out[0] = '\0';
        return 0;
    }
    memcpy(out, directory, length);
    if (slash)
        out[length++] = separator;
    memcpy(out + length, name, sizeof name);
    return 1;
}

void read_settings_stream(FILE* stream, UserSettings* settings)
{
    LineSource source = {stream, false, EOF};
    char* const slots[] = {settings->pop_server, settings->account,
                           settings->password, settings->check_time};
    for (char* slot : slots)
        read_line(&source, slot, SETTING_TEXT_SIZE);
    read_line(&source, settings->mailer_path, MAILER_PATH_SIZE);
    char sound[SOUND_LINE_SIZE] = "";
    read_line(&source, sound, sizeof sound);
    settings->sound_on = strcmp(sound, "ON") == 0 ? 1 : 0;
}

int write_settings_stream(FILE* stream, const UserSettings* settings)
{
    int ok = write_line(stream, settings->pop_server)
        && write_line(stream, settings->account)
        && write_line(stream, settings->password)
        && write_line(stream, settings->check_time)
        && write_line(stream, settings->mailer_path)
        && write_line(stream, settings->sound_on == 1 ? "ON" : "OFF");
    return ok && fflush(stream) == 0 && !ferror(stream);
}
