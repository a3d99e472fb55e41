// Throughput of the lock-free line queue against the obvious alternative, a
// std::deque behind a std::mutex, with the same threads on the same machine.
// Each run moves a batch of elements from N producer threads to N consumer
// threads; the program ends by printing how many times faster the lock-free
// queue was for each N.
#include "lfqueue.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t kBatch = 200'000;

struct LockFree {
  lfq_queue_t q{};
  LockFree() { lfqueue_init(&q); }
  ~LockFree() { lfqueue_destroy(&q); }
  void push(void *e) { lfqueue_enq(&q, e); }
  void *pop() { return lfqueue_deq(&q); }
};

struct MutexDeque {
  std::mutex lock;
  std::deque<void *> items;
  void push(void *e) {
    std::lock_guard<std::mutex> hold(lock);
    items.push_back(e);
  }
  void *pop() {
    std::lock_guard<std::mutex> hold(lock);
    if (items.empty())
      return nullptr;
    void *e = items.front();
    items.pop_front();
    return e;
  }
};

template <class Queue> void move_batch(Queue *queue, unsigned pairs) {
  std::atomic<int64_t> taken{0};
  std::vector<std::thread> threads;
  const int64_t per_producer = kBatch / pairs;
  for (unsigned c = 0; c < pairs; ++c) {
    threads.emplace_back([&] {
      while (taken.load(std::memory_order_relaxed) < per_producer * pairs) {
        void *e = queue->pop();
        if (e == nullptr) {
          std::this_thread::yield();
          continue;
        }
        benchmark::DoNotOptimize(e);
        taken.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (unsigned p = 0; p < pairs; ++p) {
    threads.emplace_back([&] {
      for (int64_t i = 1; i <= per_producer; ++i)
        queue->push(reinterpret_cast<void *>(static_cast<uintptr_t>(i)));
    });
  }
  for (auto &t : threads)
    t.join();
}

template <class Queue> void BM_move(benchmark::State &state) {
  const auto pairs = static_cast<unsigned>(state.range(0));
  Queue queue;
  for (auto _ : state)
    move_batch(&queue, pairs);
  state.SetItemsProcessed(state.iterations() * (kBatch / pairs) * pairs);
}

BENCHMARK_TEMPLATE(BM_move, LockFree)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_move, MutexDeque)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// The usual console table, keeping each benchmark's elements per second for
// the ratio printed at the end: the median when it is repeated
// (--benchmark_repetitions), else its one run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  std::map<std::string, double> rates;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      auto it = run.counters.find("items_per_second");
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (it != run.counters.end() && (median || run.run_type == Run::RT_Iteration)) {
        auto &rate = rates[run.run_name.str()];
        if (median || rate == 0)
          rate = it->second;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (const char *pairs : {"1", "2"}) {
    const std::string suffix = std::string("/") + pairs + "/real_time";
    const auto lock_free = reporter.rates.find("BM_move<LockFree>" + suffix);
    const auto mutex = reporter.rates.find("BM_move<MutexDeque>" + suffix);
    if (lock_free == reporter.rates.end() || mutex == reporter.rates.end() || mutex->second <= 0)
      continue;
    std::printf("%sp/%sc: lock-free %.2f M/s, mutex+deque %.2f M/s, ratio %.2f\n", pairs, pairs,
                lock_free->second / 1e6, mutex->second / 1e6, lock_free->second / mutex->second);
  }
  return 0;
}
