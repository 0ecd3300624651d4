// libFuzzer target: any bytes as user.ini.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "settings/user_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size == 0)
        return 0;
    FILE* stream = fmemopen(const_cast<unsigned char*>(data), size, "rb");
    if (stream == nullptr)
        return 0;
    UserSettings settings;
    memset(&settings, 0, sizeof settings);
    read_settings_stream(stream, &settings);
    fclose(stream);
    // Every field stays terminated within its slot.
    if (memchr(settings.pop_server, 0, sizeof settings.pop_server) == nullptr
        || memchr(settings.account, 0, sizeof settings.account) == nullptr
        || memchr(settings.password, 0, sizeof settings.password) == nullptr
        || memchr(settings.check_time, 0, sizeof settings.check_time) == nullptr
        || memchr(settings.mailer_path, 0, sizeof settings.mailer_path) == nullptr
        || (settings.sound_on != 0 && settings.sound_on != 1))
        __builtin_trap();
    // Whatever was read writes back and reads again to the same record.
    char* out = nullptr;
    size_t out_size = 0;
    FILE* writer = open_memstream(&out, &out_size);
    write_settings_stream(writer, &settings);
    fclose(writer);
    FILE* again = fmemopen(out, out_size, "rb");
    UserSettings back;
    memset(&back, 0, sizeof back);
    read_settings_stream(again, &back);
    fclose(again);
    free(out);
    // A text read from the file can hold neither LF nor Ctrl-Z, so it must
    // survive the round trip unchanged.
    if (strcmp(settings.pop_server, back.pop_server) != 0
        || strcmp(settings.account, back.account) != 0
        || strcmp(settings.password, back.password) != 0
        || strcmp(settings.check_time, back.check_time) != 0
        || strcmp(settings.mailer_path, back.mailer_path) != 0
        || settings.sound_on != back.sound_on)
        __builtin_trap();
    return 0;
}
