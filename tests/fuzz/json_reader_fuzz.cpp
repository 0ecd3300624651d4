// libFuzzer target: any body a token endpoint may answer with.
#include <string.h>

#include "signin/oauth_text.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    const char* json = reinterpret_cast<const char*>(data);
    static TokenAnswer answer;
    read_token_answer(json, size, &answer);
    if (answer.error == SigninError::none
        && (answer.access_token[0] == '\0' || strlen(answer.access_token) >= sizeof answer.access_token))
        __builtin_trap();   // a token only when there is one, always terminated
    char small[8];
    if (json_text(json, size, "k", small, sizeof small) && strlen(small) >= sizeof small)
        __builtin_trap();
    long n = -1;
    if (json_number(json, size, "n", &n) && n < 0)
        __builtin_trap();
    return 0;
}
