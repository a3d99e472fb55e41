#include "interrupt.h"

#include <atomic>

namespace {

// Both are read and written from a signal handler (POSIX) or the console's
// handler thread (Windows): lock-free atomics only.
std::atomic<int> requests{0};
std::atomic<bool> deferred{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

} // namespace

void interrupt_defer() { deferred.store(true); }

bool interrupt_requested() { return requests.load() > 0; }

interrupt_action_t interrupt_note_request() {
  const int before = requests.fetch_add(1);
  return before == 0 && deferred.load() ? INTERRUPT_STOP_AT_SAFE_POINT : INTERRUPT_EXIT_NOW;
}

void interrupt_reset() {
  requests.store(0);
  deferred.store(false);
}
