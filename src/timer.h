#pragma once
#include <cstdint>

// Millisecond time: a signed 32-bit count that wraps every 2^32 ms (about
// 49.7 days). Readings are only ever compared with or subtracted from each
// other, never shown as a date.
int32_t get_absolute_time();

// Milliseconds passed since the reading `start`. Right across the point
// where the reading passes from 2147483647 to -2147483648, for spans up to
// 2^31 - 1 ms (about 24.8 days).
int32_t timer_elapsed_ms(int32_t start);

// True once at least duration_ms milliseconds have passed since the reading
// `start`, and from then on for the rest of the caller's wait.
bool time_reached(int32_t start, int32_t duration_ms);

// Where get_absolute_time takes its milliseconds from. The program uses a
// monotonic clock; tests put in a source of their own to step over the wrap.
using timer_source_fn = int64_t (*)();
void timer_set_source(timer_source_fn source); // null restores the monotonic clock
int64_t timer_monotonic_ms();
