#include "lfqueue.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// The records stay plain data for the callers; every field that threads share
// is reached through an atomic view. Compare-and-swap, exchange and the count
// arithmetic are all sequentially consistent.
template <class T> std::atomic_ref<T> shared(T &field) { return std::atomic_ref<T>(field); }

static_assert(std::atomic_ref<lfq_node_t *>::is_always_lock_free);
static_assert(std::atomic_ref<int64_t>::is_always_lock_free && alignof(int64_t) >= 8);
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);
static_assert(sizeof(void *) != 8 || sizeof(lfq_node_t) == 32, "one node is 32 bytes with 8-byte pointers");

// A sequentially consistent fence. GCC's thread sanitizer does not model
// fences and warns about them; every ordering this queue relies on also comes
// from its compare-and-swap operations, which the sanitizer does follow.
void full_fence() {
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

// True when `field` still holds `expected`, tested by compare-and-swap.
bool holds(lfq_node_t *&field, lfq_node_t *expected) {
  return shared(field).compare_exchange_strong(expected, expected);
}

bool swap_if(lfq_node_t *&field, lfq_node_t *expected, lfq_node_t *desired) {
  return shared(field).compare_exchange_strong(expected, desired);
}

// A thread that keeps finding a node linked behind the tail is waiting for
// another producer to advance the tail. On a busy machine that producer may
// have lost its processor, so now and then give it the chance to finish.
void pause_for_producer(unsigned *attempts) {
  if (++*attempts % 64 == 0)
    std::this_thread::yield();
}

int32_t system_wall_second() {
  using namespace std::chrono;
  const auto seconds_now = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<int32_t>(static_cast<uint32_t>(seconds_now));
}

std::atomic<lfq_clock_fn> wall_clock{system_wall_second};

void *system_alloc(void *, size_t size) { return malloc(size); }
void system_free(void *, void *ptr) { free(ptr); }

// Obtains one node. On failure `*err` gets the allocator's error number; an
// allocator of the caller's that fails without setting errno still yields a
// non-zero number, so the failure can never read as success.
lfq_node_t *new_node(lfq_queue_t *q, int *err) {
  errno = 0;
  auto *node = static_cast<lfq_node_t *>(q->alloc_fn(q->mem_context, sizeof(lfq_node_t)));
  if (node == nullptr)
    *err = errno != 0 ? errno : ENOMEM;
  return node;
}

// Reports a missing node as the system's allocator would and returns the
// error number to hand back.
int report_no_node(int err) {
  errno = err;
  perror("malloc");
  return err;
}

void clear_node(lfq_node_t *node, void *value) {
  node->value = value;
  node->next = nullptr;
  node->retired_next = nullptr;
  node->retired_at = 0;
}

// Age of a stamp in whole seconds, in wrap-around arithmetic: negative when
// the wall clock was set back behind it.
int32_t age_of(int32_t now, int32_t stamp) {
  return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(stamp));
}

// Reclamation pass: gives back, oldest first, the retired nodes whose stamp
// is at least 3 seconds old. One thread at a time; a thread that finds the
// pass taken skips it rather than wait.
void reclaim_retired(lfq_queue_t *q) {
  int32_t idle = 0;
  if (shared(q->reclaiming).compare_exchange_strong(idle, 1)) {
    const int32_t now = lfqueue_wall_second();
    lfq_node_t *n = shared(q->retired_head).load(std::memory_order_relaxed);
    while (n != nullptr && n != shared(q->retired_tail).load()) {
      lfq_node_t *after = shared(n->retired_next).load();
      // A node whose successor is not linked yet is still the one its
      // appender writes into (see retire_node): keep it.
      if (after == nullptr || age_of(now, n->retired_at) <= 2)
        break;
      q->free_fn(q->mem_context, n);
      n = after;
    }
    shared(q->retired_head).store(n, std::memory_order_relaxed); // only the pass holder writes it
    int32_t busy = 1;
    shared(q->reclaiming).compare_exchange_strong(busy, 0);
  }
  full_fence();
}

// Retires the node that was the dummy.
//
// Why the append is safe against a concurrent pass: the node is stamped
// while still private, then made the newest by one atomic exchange of
// `retired_tail`, which hands exactly one thread the previous newest node.
// Only that thread ever writes the previous node's `retired_next`, and a pass
// never gives back a node whose `retired_next` is still null, however old it
// is. So the node an appender writes into cannot be given back before the
// write lands, even if other nodes are retired behind it meanwhile. (Reading
// `retired_tail` and then compare-and-swapping the node's link would leave a
// window in which that node stops being the newest, grows old enough, and is
// given back and reused under the appender.)
void retire_node(lfq_queue_t *q, lfq_node_t *node) {
  shared(node->retired_next).store(nullptr, std::memory_order_relaxed);
  node->retired_at = lfqueue_wall_second();
  lfq_node_t *previous = shared(q->retired_tail).exchange(node);
  shared(previous->retired_next).store(node);
}

// Links a new node behind the tail. 0, or the error number when no node.
int link_new_node(lfq_queue_t *q, void *value) {
  int err = 0;
  lfq_node_t *node = new_node(q, &err);
  if (node == nullptr)
    return report_no_node(err);
  clear_node(node, value);

  lfq_node_t *t = nullptr;
  unsigned attempts = 0;
  for (;;) {
    full_fence();
    t = shared(q->tail).load();
    if (swap_if(t->next, nullptr, node))
      break;
    // Another producer linked behind t and has not yet moved the tail; only
    // it moves the tail away from t.
    pause_for_producer(&attempts);
  }
  swap_if(q->tail, t, node);
  reclaim_retired(q);
  return 0;
}

// Unlinks the oldest element, for any number of consumers.
void *unlink_oldest(lfq_queue_t *q) {
  void *result = nullptr;
  unsigned attempts = 0;
  for (;;) {
    lfq_node_t *h = shared(q->head).load();
    if (!holds(q->head, h))
      continue;
    lfq_node_t *n = shared(h->next).load();
    if (holds(q->tail, h)) {
      if (n == nullptr)
        break;                       // empty
      pause_for_producer(&attempts); // linked, tail not yet advanced: the producer will do it
      continue;
    }
    if (n == nullptr)
      break;
    result = n->value; // read before the swap: once n is the dummy another consumer may retire it
    if (swap_if(q->head, h, n)) {
      retire_node(q, h);
      break;
    }
    result = nullptr;
  }
  full_fence();
  reclaim_retired(q);
  return result;
}

// Unlinks the oldest element for the only consumer, giving the old dummy
// back at once.
void *unlink_oldest_single(lfq_queue_t *q) {
  unsigned attempts = 0;
  for (;;) {
    lfq_node_t *h = shared(q->head).load();
    if (!holds(q->head, h))
      continue;
    lfq_node_t *n = shared(h->next).load();
    if (holds(q->tail, h)) {
      if (n == nullptr)
        return nullptr;
      pause_for_producer(&attempts);
      continue;
    }
    if (n == nullptr)
      return nullptr;
    void *result = n->value;
    if (swap_if(q->head, h, n)) {
      q->free_fn(q->mem_context, h);
      return result;
    }
  }
}

void *take(lfq_queue_t *q, void *(*unlink)(lfq_queue_t *)) {
  void *element = unlink(q);
  if (element != nullptr)
    shared(q->count).fetch_sub(1);
  return element;
}

void *take_must(lfq_queue_t *q, void *(*unlink)(lfq_queue_t *)) {
  void *element = nullptr;
  while ((element = unlink(q)) == nullptr)
    lfqueue_sleep(1);
  shared(q->count).fetch_sub(1);
  return element;
}

} // namespace

int32_t lfqueue_wall_second() { return wall_clock.load()(); }

void lfqueue_set_clock(lfq_clock_fn clock) { wall_clock.store(clock ? clock : system_wall_second); }

int lfqueue_init(lfq_queue_t *q) { return lfqueue_init_mf(q, nullptr, system_alloc, system_free); }

int lfqueue_init_mf(lfq_queue_t *q, void *context, lfq_alloc_fn alloc_fn, lfq_free_fn free_fn) {
  // Null links mark the queue unusable until this succeeds; lfqueue_destroy
  // then leaves it alone.
  *q = lfq_queue_t{};
  if (alloc_fn == nullptr || free_fn == nullptr)
    return EINVAL;
  q->alloc_fn = alloc_fn;
  q->free_fn = free_fn;
  q->mem_context = context;

  // Both requests are made before either is tested.
  int err = 0;
  lfq_node_t *dummy = new_node(q, &err);
  lfq_node_t *first_retired = new_node(q, &err);
  if (dummy == nullptr || first_retired == nullptr) {
    report_no_node(err);
    // The request that did succeed is given back: a failed start leaks nothing.
    if (dummy != nullptr)
      free_fn(context, dummy);
    if (first_retired != nullptr)
      free_fn(context, first_retired);
    return err;
  }
  clear_node(dummy, nullptr);
  clear_node(first_retired, nullptr);
  shared(q->tail).store(dummy);
  shared(q->head).store(dummy);
  shared(q->retired_tail).store(first_retired);
  shared(q->retired_head).store(first_retired);
  shared(q->count).store(0);
  shared(q->reclaiming).store(0);
  return 0;
}

int lfqueue_enq(lfq_queue_t *q, void *element) {
  // Null is the dequeue's answer for "empty": a queued null would be
  // unlinked and lost, with the count left one too high.
  if (element == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (link_new_node(q, element) != 0)
    return -1;
  shared(q->count).fetch_add(1);
  return 0;
}

void *lfqueue_deq(lfq_queue_t *q) { return take(q, unlink_oldest); }
void *lfqueue_deq_must(lfq_queue_t *q) { return take_must(q, unlink_oldest); }
void *lfqueue_single_deq(lfq_queue_t *q) { return take(q, unlink_oldest_single); }
void *lfqueue_single_deq_must(lfq_queue_t *q) { return take_must(q, unlink_oldest_single); }

int64_t lfqueue_size(lfq_queue_t *q) { return shared(q->count).load(); }

void lfqueue_destroy(lfq_queue_t *q) {
  if (q->head == nullptr)
    return; // never started, or destroyed already

  void *element = nullptr;
  while ((element = lfqueue_deq(q)) != nullptr)
    q->free_fn(q->mem_context, element);

  // No other thread uses the queue now: every retired node goes back, the
  // newest too, whatever its age.
  lfq_node_t *n = q->retired_head;
  while (n != nullptr && n != q->retired_tail) {
    lfq_node_t *after = n->retired_next;
    q->free_fn(q->mem_context, n);
    n = after;
  }
  if (n != nullptr)
    q->free_fn(q->mem_context, n);
  q->free_fn(q->mem_context, q->tail);

  q->head = q->tail = q->retired_head = q->retired_tail = nullptr;
  q->count = 0;
  q->reclaiming = 0;
}

void lfqueue_sleep(int32_t ms) {
  // A plain millisecond sleep: scaling to microseconds in 32 bits would
  // overflow past about 35 minutes.
  if (ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
