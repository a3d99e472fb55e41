#pragma once
#include <cstddef>
#include <cstdint>

// A first-in-first-out queue of non-null element pointers that any number of
// threads fill and empty at once without a lock: a two-pointer linked list
// that always begins with a dummy node. The serial link hands each received
// line from the framing code to its readers through one of these.
//
// Nodes unlinked by lfqueue_deq are not released at once: a slower thread may
// still be looking at one. They wait in a retired list, stamped with the
// wall-clock second, and a later enqueue or dequeue gives back those at least
// 3 seconds old (always more than 2 seconds of real time).
//
// The records are plain data, so a caller may embed a queue in its own record
// and clear that record with memset or `= {}`. All shared fields are accessed
// atomically inside lfqueue.cpp; callers touch them only through the
// functions below.

using lfq_alloc_fn = void *(*)(void *context, size_t size); // null with errno set on failure
using lfq_free_fn = void (*)(void *context, void *ptr);

struct lfq_node_t {
  void *value;              // the element; the dummy keeps the one it carried
  lfq_node_t *next;         // next node of the live list, null on the last
  lfq_node_t *retired_next; // next node of the retired list
  int32_t retired_at;       // wall-clock second of retirement, 0 for the first two nodes
};

struct lfq_queue_t {
  lfq_node_t *head;         // the dummy, just before the oldest element
  lfq_node_t *tail;         // the last node, or the one before it while a producer links
  lfq_node_t *retired_head; // the oldest node not yet given back
  lfq_node_t *retired_tail; // the newest retired node; a pass never gives it back
  int64_t count;            // elements queued; may stand at -1 for a moment under load
  int32_t reclaiming;       // 1 while one thread gives back retired nodes
  lfq_alloc_fn alloc_fn;
  lfq_free_fn free_fn;
  void *mem_context; // first argument of both callbacks
};

// Prepares the queue with malloc and free. 0 on success, else a non-zero error
// number; the queue must then not be used (lfqueue_destroy on it does nothing).
int lfqueue_init(lfq_queue_t *q);
// The same with the caller's allocator, releaser and their context.
int lfqueue_init_mf(lfq_queue_t *q, void *context, lfq_alloc_fn alloc_fn, lfq_free_fn free_fn);

// Appends a non-null element. 0 on success, -1 when no node could be had
// (reported with perror("malloc")); the queue is then unchanged.
int lfqueue_enq(lfq_queue_t *q, void *element);

// Takes the oldest element, for any number of consumer threads. Null when the
// queue is empty; never waits.
void *lfqueue_deq(lfq_queue_t *q);
// Like lfqueue_deq, but sleeps 1 ms between attempts until an element comes.
void *lfqueue_deq_must(lfq_queue_t *q);

// For a queue with exactly one consumer thread and at most one producer at a
// time: the unlinked node is given back at once instead of being retired.
void *lfqueue_single_deq(lfq_queue_t *q);
void *lfqueue_single_deq_must(lfq_queue_t *q);

// The number of elements queued, as counted by the operations that finished.
int64_t lfqueue_size(lfq_queue_t *q);

// Gives back every node and hands every element still queued to the releaser.
// Only when no other thread uses the queue any more. Safe on a queue whose
// initialisation failed and safe twice; the queue needs a new init to be used.
void lfqueue_destroy(lfq_queue_t *q);

// Puts the calling thread to sleep for `ms` milliseconds (none for 0 or less).
void lfqueue_sleep(int32_t ms);

// Where the queue reads the wall-clock second that stamps retired nodes. Tests
// put in a clock of their own to age nodes without sleeping.
using lfq_clock_fn = int32_t (*)();
void lfqueue_set_clock(lfq_clock_fn clock); // null restores the system's wall clock
int32_t lfqueue_wall_second();
