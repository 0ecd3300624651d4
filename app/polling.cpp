#include "app/polling.h"

#include "settings/form_rules.h"
#include "settings/user_settings.h"

uint32_t check_interval_ms(const char* check_time)
{
    int64_t seconds = parse_decimal(check_time);
    if (seconds < MIN_CHECK_TIME)
        seconds = MIN_CHECK_TIME;
    int64_t elapse = seconds * 1000;
    return elapse > TIMER_MAXIMUM_MS ? TIMER_MAXIMUM_MS : static_cast<uint32_t>(elapse);
}
