#pragma once
// A clock for the updates' long waits, run inside the test process: the
// program's clock (timer.h) reads real time until speed_up(), then runs
// `factor` times faster, never stepping back. The board keeps real time, so
// everything up to the wait under test happens at its real pace. One at a
// time: it replaces the program's clock source for its lifetime.
#include "timer.h"

#include <cstdint>
#include <mutex>

namespace orvtest {

class SpeedClock {
public:
  SpeedClock() {
    const std::lock_guard<std::mutex> hold(mu_);
    real_base_ = fake_base_ = timer_monotonic_ms();
    factor_ = 1;
    timer_set_source(now);
  }
  ~SpeedClock() { timer_set_source(nullptr); }
  SpeedClock(const SpeedClock &) = delete;
  SpeedClock &operator=(const SpeedClock &) = delete;

  void speed_up(int64_t factor) {
    const std::lock_guard<std::mutex> hold(mu_);
    const int64_t real = timer_monotonic_ms();
    fake_base_ += (real - real_base_) * factor_;
    real_base_ = real;
    factor_ = factor;
  }

private:
  static int64_t now() {
    const std::lock_guard<std::mutex> hold(mu_);
    return fake_base_ + (timer_monotonic_ms() - real_base_) * factor_;
  }
  static inline std::mutex mu_;
  static inline int64_t real_base_ = 0, fake_base_ = 0, factor_ = 1;
};

} // namespace orvtest
