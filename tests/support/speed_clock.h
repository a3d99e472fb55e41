#pragma once
// A clock for the updates' long waits, run inside the test process: the
// program's clock (timer.h) reads real time until speed_up(), then runs
// `factor` times faster, never stepping back. The board keeps real time, so
// everything up to the wait under test happens at its real pace. One at a
// time: it replaces the program's clock source for its lifetime.
#include "options.h"
#include "timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <string>

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

// What an update run in the test process left: its result and both streams.
struct Outcome {
  int status;
  std::string out, err;
};

// Runs an update the way main does, with `port` as --port, on a thread of
// its own, while `meanwhile` drives the board and the clock; captures both
// streams. A run still going after a minute of real time is sped to its end
// and reported.
inline Outcome run_in_process(SpeedClock &clock, const std::function<int()> &action, const std::string &port,
                              const std::function<void()> &meanwhile) {
  std::snprintf(options.port, sizeof options.port, "%s", port.c_str());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  auto done = std::async(std::launch::async, action);
  meanwhile();
  const bool ended = done.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!ended)
    clock.speed_up(1000); // let the run end rather than leave it behind
  const int status = done.get();
  std::fflush(stdout);
  std::fflush(stderr);
  Outcome o{status, ::testing::internal::GetCapturedStdout(), ::testing::internal::GetCapturedStderr()};
  EXPECT_TRUE(ended) << "the update did not end within a minute of real time";
  return o;
}

} // namespace orvtest
