#include "lfqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// An allocator that counts its requests, fails the Nth one, and keeps every
// block it is given back until the test ends, so a block's address names one
// node for the whole test and a double release is caught.
struct CountingAllocator {
  int requests = 0;
  int fail_on = 0;          // 1-based request number that yields null; 0: never
  int fail_errno = ENOMEM;  // 0: fail the way a careless allocator does
  std::vector<void *> made; // every block handed out
  std::set<void *> returned;
  std::vector<void *> graveyard;

  CountingAllocator() = default;
  CountingAllocator(const CountingAllocator &) = delete;
  CountingAllocator &operator=(const CountingAllocator &) = delete;
  ~CountingAllocator() { reset(); }
  void reset() {
    for (void *p : graveyard)
      std::free(p);
    requests = fail_on = 0;
    fail_errno = ENOMEM;
    made.clear();
    returned.clear();
    graveyard.clear();
  }
  bool was_returned(const void *p) const { return returned.count(const_cast<void *>(p)) != 0; }
  size_t outstanding() const { return made.size() - returned.size(); }

  static void *alloc(void *context, size_t size) {
    auto *self = static_cast<CountingAllocator *>(context);
    if (++self->requests == self->fail_on) {
      errno = self->fail_errno;
      return nullptr;
    }
    void *p = std::malloc(size);
    self->made.push_back(p);
    return p;
  }
  static void release(void *context, void *p) {
    auto *self = static_cast<CountingAllocator *>(context);
    if (!self->returned.insert(p).second)
      ADD_FAILURE() << "block " << p << " given back twice";
    self->graveyard.push_back(p);
  }
};

// The wall-clock second as the queue sees it, moved by hand.
std::atomic<int32_t> fake_second{1000};
int32_t fake_clock() { return fake_second.load(); }

class LfQueue : public testing::Test {
protected:
  void SetUp() override {
    fake_second = 1000;
    lfqueue_set_clock(fake_clock);
  }
  void TearDown() override {
    lfqueue_destroy(&q); // no-op when a test destroyed it already
    lfqueue_set_clock(nullptr);
  }
  void start() { ASSERT_EQ(lfqueue_init_mf(&q, &mem, CountingAllocator::alloc, CountingAllocator::release), 0); }

  // Sends one element through, so the dummy it passes is retired; returns
  // that node.
  lfq_node_t *retire_one() {
    lfq_node_t *dummy = q.head;
    EXPECT_EQ(lfqueue_enq(&q, &token), 0);
    EXPECT_EQ(lfqueue_deq(&q), &token);
    return dummy;
  }

  CountingAllocator mem;
  lfq_queue_t q{};
  int token = 0;
};

TEST_F(LfQueue, EmptyQueueAnswersNullAndKeepsTheCountAtZero) {
  start();
  EXPECT_EQ(lfqueue_deq(&q), nullptr);
  EXPECT_EQ(lfqueue_single_deq(&q), nullptr);
  EXPECT_EQ(lfqueue_size(&q), 0);
  EXPECT_EQ(mem.requests, 2); // the dummy and the first retired node, nothing more
}

TEST_F(LfQueue, ElementsComeOutInTheOrderTheyWentIn) {
  struct Row {
    const char *name;
    void *(*deq)(lfq_queue_t *);
  };
  const Row rows[] = {{"general", lfqueue_deq},
                      {"single consumer", lfqueue_single_deq},
                      {"general, blocking", lfqueue_deq_must},
                      {"single consumer, blocking", lfqueue_single_deq_must}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(lfqueue_init(&q), 0);
    int items[50];
    for (int &item : items)
      ASSERT_EQ(lfqueue_enq(&q, &item), 0);
    EXPECT_EQ(lfqueue_size(&q), 50);
    for (int i = 0; i < 50; ++i) {
      ASSERT_EQ(row.deq(&q), &items[i]);
      EXPECT_EQ(lfqueue_size(&q), 49 - i);
    }
    EXPECT_EQ(lfqueue_deq(&q), nullptr);
    lfqueue_destroy(&q);
  }
}

TEST_F(LfQueue, NullElementIsRefusedAndLosesNothing) {
  start();
  int a = 1;
  ASSERT_EQ(lfqueue_enq(&q, &a), 0);
  EXPECT_EQ(lfqueue_enq(&q, nullptr), -1);
  EXPECT_EQ(lfqueue_size(&q), 1);
  EXPECT_EQ(lfqueue_deq(&q), &a);
  EXPECT_EQ(lfqueue_size(&q), 0);
}

// Each step sets the wall-clock second, then either sends an element through
// (retiring the dummy it passes: 'R'), or runs one pass without retiring
// anything: 'D' an empty general dequeue, 'E' an enqueue (its element is then
// taken by the single-consumer dequeue, which runs no pass). `given_back`
// shows, per retired node in order of retirement (the node made at
// initialisation first), whether it has been given back.
struct ClockStep {
  int32_t second;
  char action;
  const char *given_back;
};
struct ClockCase {
  const char *name;
  std::vector<ClockStep> steps;
};

TEST_F(LfQueue, RetiredNodesGoBackOnlyWhenThreeSecondsOldAndNotNewest) {
  const ClockCase cases[] = {
      {"the first node waits for a successor, then goes at once (stamp 0)", {{1000, 'D', "0"}, {1000, 'R', "10"}}},
      {"kept within 2 s, given back at 3",
       {{1000, 'R', "10"}, {1001, 'R', "100"}, {1002, 'D', "100"}, {1002, 'E', "100"}, {1003, 'E', "110"}}},
      {"the newest is never given back", {{1000, 'R', "10"}, {5000, 'D', "10"}, {2000000000, 'E', "10"}}},
      {"set forward: all but the newest go at the next pass",
       {{1000, 'R', "10"}, {1000, 'R', "100"}, {1000, 'R', "1000"}, {1003, 'D', "1110"}}},
      {"set back: negative age waits until 3 s past the stamp",
       {{1000, 'R', "10"}, {1000, 'R', "100"}, {990, 'D', "100"}, {1002, 'E', "100"}, {1003, 'D', "110"}}},
      {"a pass stops at the first young node even when later ones are due",
       {{1000, 'R', "10"}, {900, 'R', "100"}, {900, 'R', "1000"}, {1001, 'D', "1000"}, {1003, 'D', "1110"}}},
      {"ages are taken across the 32-bit wrap of the second",
       {{INT32_MAX, 'R', "10"}, {INT32_MAX, 'R', "100"}, {INT32_MIN + 1, 'D', "100"}, {INT32_MIN + 2, 'D', "110"}}},
  };
  for (const ClockCase &c : cases) {
    SCOPED_TRACE(c.name);
    mem.reset();
    start();
    std::vector<lfq_node_t *> retired{q.retired_head};
    for (const ClockStep &step : c.steps) {
      fake_second = step.second;
      if (step.action == 'R') {
        retired.push_back(retire_one());
      } else if (step.action == 'D') {
        EXPECT_EQ(lfqueue_deq(&q), nullptr);
      } else {
        ASSERT_EQ(lfqueue_enq(&q, &token), 0);
        ASSERT_EQ(lfqueue_single_deq(&q), &token);
      }
      std::string seen;
      for (lfq_node_t *node : retired)
        seen += mem.was_returned(node) ? '1' : '0';
      EXPECT_EQ(seen, step.given_back) << "after step at second " << step.second << " '" << step.action << "'";
    }
    lfqueue_destroy(&q);
    EXPECT_EQ(mem.outstanding(), 0u);
  }
}

// A thread retiring a node first makes it the newest, then links it behind
// the node that was the newest before. Between the two steps that earlier
// node is no longer the newest, may be long due, and is still written to.
TEST_F(LfQueue, APassKeepsTheNodeAnAppenderIsStillLinkingBehind) {
  start();
  lfq_node_t *earlier = retire_one();
  auto *appended = static_cast<lfq_node_t *>(CountingAllocator::alloc(&mem, sizeof(lfq_node_t)));
  *appended = lfq_node_t{nullptr, nullptr, nullptr, 1000};
  q.retired_tail = appended; // the appender has made it the newest, not linked it yet
  fake_second = 5000;
  EXPECT_EQ(lfqueue_deq(&q), nullptr);
  EXPECT_FALSE(mem.was_returned(earlier));
  earlier->retired_next = appended; // the link lands
  EXPECT_EQ(lfqueue_deq(&q), nullptr);
  EXPECT_TRUE(mem.was_returned(earlier));
  EXPECT_FALSE(mem.was_returned(appended));
  lfqueue_destroy(&q);
  EXPECT_EQ(mem.outstanding(), 0u);
}

TEST_F(LfQueue, SingleConsumerDequeueLeavesTheRetiredListAlone) {
  start();
  lfq_node_t *first = q.retired_head;
  for (int i = 0; i < 5; ++i) {
    fake_second += 10;
    ASSERT_EQ(lfqueue_enq(&q, &token), 0);
    ASSERT_EQ(lfqueue_single_deq(&q), &token);
  }
  EXPECT_EQ(q.retired_head, first);
  EXPECT_EQ(q.retired_tail, first);
  EXPECT_FALSE(mem.was_returned(first));
  EXPECT_EQ(mem.outstanding(), 2u); // dummies went back at once: only the dummy and the first node remain
}

TEST_F(LfQueue, DestroyGivesBackEveryNodeAndEveryQueuedElement) {
  start();
  retire_one();
  fake_second += 1; // one young retired node besides the newest
  retire_one();
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(lfqueue_enq(&q, CountingAllocator::alloc(&mem, 16)), 0);
  lfqueue_destroy(&q);
  EXPECT_EQ(mem.outstanding(), 0u);
  EXPECT_EQ(lfqueue_size(&q), 0);
  lfqueue_destroy(&q); // twice: nothing more given back, no fault
  EXPECT_EQ(mem.outstanding(), 0u);
  ASSERT_EQ(lfqueue_init_mf(&q, &mem, CountingAllocator::alloc, CountingAllocator::release), 0); // usable again
  ASSERT_EQ(lfqueue_enq(&q, &token), 0);
  EXPECT_EQ(lfqueue_deq(&q), &token);
}

TEST_F(LfQueue, DefaultCallbacksReleaseQueuedElementsWithFree) {
  ASSERT_EQ(lfqueue_init(&q), 0);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(lfqueue_enq(&q, std::malloc(24)), 0);
  lfqueue_destroy(&q); // the address sanitizer build reports any leak here
  EXPECT_EQ(lfqueue_size(&q), 0);
}

TEST_F(LfQueue, NoNodeAtInitialisationIsReportedAfterBothRequests) {
  struct Row {
    int fail_on;
    int fail_errno;
    int expected; // what the initialisation returns, and what perror describes
  };
  for (const Row row : {Row{1, ENOMEM, ENOMEM}, Row{2, ENOMEM, ENOMEM}, Row{1, EAGAIN, EAGAIN}, Row{1, 0, ENOMEM}}) {
    SCOPED_TRACE("failing request " + std::to_string(row.fail_on) + " with errno " + std::to_string(row.fail_errno));
    mem.reset();
    mem.fail_on = row.fail_on;
    mem.fail_errno = row.fail_errno;
    testing::internal::CaptureStderr();
    const int result = lfqueue_init_mf(&q, &mem, CountingAllocator::alloc, CountingAllocator::release);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, row.expected);
    EXPECT_EQ(mem.requests, 2);
    EXPECT_EQ(err, std::string("malloc: ") + std::strerror(row.expected) + "\n");
    EXPECT_EQ(mem.outstanding(), 0u); // the node that was obtained went back
    lfqueue_destroy(&q);              // a failed queue is left alone
    EXPECT_EQ(mem.outstanding(), 0u);
  }
}

TEST_F(LfQueue, NoNodeForAnEnqueueLeavesTheQueueAsItWas) {
  mem.fail_on = 4; // the two initial nodes, one element, then the failure
  start();
  int a = 1, b = 2, c = 3;
  ASSERT_EQ(lfqueue_enq(&q, &a), 0);
  const lfq_queue_t before = q;
  testing::internal::CaptureStderr();
  EXPECT_EQ(lfqueue_enq(&q, &b), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("malloc: ", 0), 0u);
  EXPECT_EQ(lfqueue_size(&q), 1);
  EXPECT_EQ(q.head, before.head);
  EXPECT_EQ(q.tail, before.tail);
  EXPECT_EQ(q.tail->next, nullptr);
  ASSERT_EQ(lfqueue_enq(&q, &c), 0); // the next request succeeds: the queue still works
  EXPECT_EQ(lfqueue_deq(&q), &a);
  EXPECT_EQ(lfqueue_deq(&q), &c);
  EXPECT_EQ(lfqueue_deq(&q), nullptr);
}

TEST_F(LfQueue, BlockingDequeueReturnsOnceAnotherThreadEnqueues) {
  for (auto deq_must : {lfqueue_deq_must, lfqueue_single_deq_must}) {
    ASSERT_EQ(lfqueue_init(&q), 0);
    std::atomic<bool> sent{false};
    std::thread producer([&] {
      lfqueue_sleep(30);
      sent = true;
      EXPECT_EQ(lfqueue_enq(&q, &token), 0);
    });
    EXPECT_EQ(deq_must(&q), &token);
    EXPECT_TRUE(sent.load());
    EXPECT_EQ(lfqueue_size(&q), 0);
    producer.join();
    lfqueue_destroy(&q);
  }
}

} // namespace
