// The polling interval stays within sane bounds whatever the file holds.
#include <gtest/gtest.h>

#include "app/polling.h"

TEST(CheckInterval, Table)
{
    struct Row { const char* check_time; uint32_t elapse; } rows[] = {
        {"300", 300000u}, {"45abc", 45000u}, {"30", 30000u}, {" 60", 60000u},
        {"86400", 86400000u},
        // Below the minimum, empty or nonsense: never poll faster than 30 s.
        {"29", 30000u}, {"0", 30000u}, {"", 30000u}, {"abc", 30000u}, {"-45", 30000u},
        {"-2147483648", 30000u},
        // Products beyond the largest timer value are capped, not wrapped.
        {"2147483", 2147483000u}, {"2147484", 0x7FFFFFFFu}, {"4294968", 0x7FFFFFFFu},
        {"2147483647", 0x7FFFFFFFu},
    };
    for (const Row& row : rows)
        EXPECT_EQ(check_interval_ms(row.check_time), row.elapse) << row.check_time;
}
