#include "timer.h"

#include <atomic>
#include <chrono>

namespace {
// A monotonic clock, not the wall clock: a clock step by NTP or by the user
// while a technician waits on the board must neither stretch a 30-second
// time-out into an hour nor cut it to nothing.
std::atomic<timer_source_fn> source{timer_monotonic_ms};
} // namespace

int64_t timer_monotonic_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void timer_set_source(timer_source_fn fn) { source.store(fn ? fn : timer_monotonic_ms); }

int32_t get_absolute_time() {
  // Keep the low 32 bits and read them as signed: the same wrap-around as
  // the 32-bit readings every caller stores.
  return static_cast<int32_t>(static_cast<uint32_t>(source.load()()));
}

int32_t timer_elapsed_ms(int32_t start) {
  // now - start in unsigned 32-bit arithmetic, read back as signed.
  return static_cast<int32_t>(static_cast<uint32_t>(get_absolute_time()) - static_cast<uint32_t>(start));
}

bool time_reached(int32_t start, int32_t duration_ms) {
  // Compare the elapsed time, not a deadline: the elapsed time stays right
  // across the wrap, where a deadline start + duration would turn negative
  // (reached at once) or be stepped over (never reached).
  return timer_elapsed_ms(start) >= duration_ms;
}
