#include "lfqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// How many elements a stress run moves. ORVUP_LFQ_STRESS_ELEMENTS lowers it
// for a quick run on a slow machine; the suite itself always moves the full
// million.
int64_t stress_elements(int64_t full) {
  const char *text = std::getenv("ORVUP_LFQ_STRESS_ELEMENTS");
  if (text == nullptr)
    return full;
  const long long wanted = std::atoll(text);
  return wanted > 0 && wanted < full ? wanted : full;
}

// Five wall-clock seconds per real second: retired nodes come due within
// the run, so nodes are given back while other threads work, and each one
// still stays at least 400 ms of real time past its retirement.
int32_t quick_clock() {
  using namespace std::chrono;
  return static_cast<int32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() / 200);
}

// An element names its producer and its place in that producer's sequence,
// and is never null.
void *element(unsigned producer, int64_t seq) {
  return reinterpret_cast<void *>((static_cast<uintptr_t>(producer + 1) << 40) | static_cast<uintptr_t>(seq));
}
unsigned producer_of(void *e) { return static_cast<unsigned>((reinterpret_cast<uintptr_t>(e) >> 40) - 1); }
int64_t seq_of(void *e) { return static_cast<int64_t>(reinterpret_cast<uintptr_t>(e) & ((uintptr_t{1} << 40) - 1)); }

// Plain malloc and free, counting the nodes given back while the threads run.
// A node stamped at retirement must be at least 3 seconds old when it goes
// back (nodes never retired carry no stamp).
std::atomic<int64_t> given_back{0};
std::atomic<int64_t> given_back_young{0};
void *counted_malloc(void *, size_t size) { return std::malloc(size); }
void counted_free(void *, void *p) {
  const int32_t stamp = static_cast<lfq_node_t *>(p)->retired_at;
  if (stamp != 0 && quick_clock() - stamp < 3)
    given_back_young.fetch_add(1);
  given_back.fetch_add(1, std::memory_order_relaxed);
  std::free(p);
}

struct Tally {
  std::vector<std::atomic<uint8_t>> seen;
  std::atomic<int64_t> taken{0};
  std::atomic<int64_t> out_of_order{0};
  std::atomic<int64_t> foreign{0};
};

void consume(lfq_queue_t *q, void *(*deq)(lfq_queue_t *), unsigned producers, int64_t per_producer, Tally *tally) {
  const int64_t total = per_producer * producers;
  std::vector<int64_t> last(producers, -1);
  while (tally->taken.load() < total) {
    void *e = deq(q);
    if (e == nullptr) {
      std::this_thread::yield();
      continue;
    }
    tally->taken.fetch_add(1);
    const unsigned p = producer_of(e);
    const int64_t seq = seq_of(e);
    if (p >= producers || seq >= per_producer) {
      tally->foreign.fetch_add(1);
      continue;
    }
    // From any one consumer's view, a producer's elements must come in the
    // order that producer sent them.
    if (seq <= last[p])
      tally->out_of_order.fetch_add(1);
    last[p] = seq;
    tally->seen[static_cast<size_t>(p * per_producer + seq)].fetch_add(1);
  }
}

void run_stress(unsigned producers, unsigned consumers, int64_t full, void *(*deq)(lfq_queue_t *)) {
  const int64_t per_producer = stress_elements(full) / producers;
  const int64_t total = per_producer * producers;
  lfqueue_set_clock(quick_clock);
  lfq_queue_t q{};
  ASSERT_EQ(lfqueue_init_mf(&q, nullptr, counted_malloc, counted_free), 0);
  given_back = 0;
  given_back_young = 0;

  Tally tally;
  tally.seen = std::vector<std::atomic<uint8_t>>(static_cast<size_t>(total));
  std::vector<std::thread> threads;
  for (unsigned c = 0; c < consumers; ++c)
    threads.emplace_back(consume, &q, deq, producers, per_producer, &tally);
  std::atomic<int64_t> refused{0};
  for (unsigned p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      for (int64_t seq = 0; seq < per_producer; ++seq)
        if (lfqueue_enq(&q, element(p, seq)) != 0)
          refused.fetch_add(1);
    });
  }
  for (auto &t : threads)
    t.join();

  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(tally.foreign.load(), 0);
  EXPECT_EQ(tally.out_of_order.load(), 0);
  int64_t missing = 0, repeated = 0;
  for (auto &s : tally.seen) {
    missing += s.load() == 0;
    repeated += s.load() > 1;
  }
  EXPECT_EQ(missing, 0) << "of " << total;
  EXPECT_EQ(repeated, 0) << "of " << total;
  EXPECT_EQ(lfqueue_size(&q), 0);
  EXPECT_EQ(lfqueue_deq(&q), nullptr);
  EXPECT_EQ(given_back_young.load(), 0);
  std::printf("%lld elements, %lld nodes given back during the run\n", static_cast<long long>(total),
              static_cast<long long>(given_back.load()));
  lfqueue_destroy(&q);
  lfqueue_set_clock(nullptr);
}

TEST(LfQueueStress, ManyProducersAndConsumersMoveEveryElementOnceInOrder) { run_stress(3, 3, 1'000'002, lfqueue_deq); }

TEST(LfQueueStress, OneProducerAndTheSingleConsumerDequeue) { run_stress(1, 1, 200'000, lfqueue_single_deq); }

} // namespace
