// The polling interval, bounded so that a hand-edited check time can neither
// hammer the mail server nor overflow the timer.
#pragma once

#include <stdint.h>

constexpr uint32_t TIMER_MAXIMUM_MS = 0x7FFFFFFF;   // the platform's largest elapse

// check_time (decimal seconds) as a timer elapse in milliseconds: at least
// MIN_CHECK_TIME seconds and at most TIMER_MAXIMUM_MS.
uint32_t check_interval_ms(const char* check_time);
