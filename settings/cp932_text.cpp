#include "settings/cp932_text.h"

#include <string.h>

size_t cp932_cut(const char* text, size_t length, size_t limit)
{
    size_t i = 0;
    while (i < length) {
        size_t step = is_cp932_lead_byte(static_cast<unsigned char>(text[i])) ? 2 : 1;
        if (i + step > limit)
            break;
        i += step;
    }
    return i < length ? i : length;
}

size_t copy_text(char* out, size_t out_size, const char* text)
{
    if (out_size == 0)
        return 0;
    size_t length = cp932_cut(text, strlen(text), out_size - 1);
    memcpy(out, text, length);
    out[length] = '\0';
    return length;
}
