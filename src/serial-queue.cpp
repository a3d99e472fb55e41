#include "serial.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// One received line as it waits in the queue: a single heap block, the text
// right after the record.
struct queued_line_t {
  bool status;  // one of the bridge's words: never dropped for room
  bool dropped; // given up for room; freed when it reaches the head
  char *text() { return reinterpret_cast<char *>(this + 1); }
};

// The free-text index holds pointers to lines the main queue owns: it gives
// nothing back when destroyed.
void *index_alloc(void *, size_t size) { return std::malloc(size); }
void index_free(void *, void *node) { std::free(node); }

// Both queues are filled and emptied by the link's one reader: the single-
// consumer take gives each node back at once.
void empty_index(lfq_queue_t *index) {
  while (lfqueue_single_deq(index) != nullptr) {
  }
}

} // namespace

bool serial_line_is_status(const char *text) {
  for (const char *word : {"START", "DONE", "FAIL", "TIMEOUT", "NORESP", "BOOTSEL"})
    if (std::strcmp(text, word) == 0)
      return true;
  return false;
}

bool serial_queue_init(serial_line_queue_t *q) {
  *q = serial_line_queue_t{};
  if (lfqueue_init(&q->lines) != 0)
    return false;
  if (lfqueue_init_mf(&q->text, nullptr, index_alloc, index_free) != 0) {
    lfqueue_destroy(&q->lines);
    return false;
  }
  return true;
}

bool serial_queue_push(void *context, const char *text, int32_t length) {
  auto *q = static_cast<serial_line_queue_t *>(context);
  const bool status = serial_line_is_status(text);
  // Status words beyond as many as the queue keeps of free text can only
  // come from a board repeating them without end; the first ones decide.
  if (status && q->status_count >= SERIAL_QUEUE_LINES) {
    ++q->dropped;
    return true;
  }
  auto *line = static_cast<queued_line_t *>(std::malloc(sizeof(queued_line_t) + static_cast<size_t>(length) + 1));
  if (!line) {
    std::fputs("ERROR: Unable to allocate memory\n", stderr);
    return false;
  }
  line->status = status;
  line->dropped = false;
  std::memcpy(line->text(), text, static_cast<size_t>(length) + 1);
  // The queues report their own failure to get a node (perror "malloc").
  if (lfqueue_enq(&q->lines, line) != 0) {
    std::free(line);
    return false;
  }
  if (status) {
    ++q->status_count;
    return true;
  }
  if (lfqueue_enq(&q->text, line) != 0) {
    line->dropped = true; // without its index entry it could never be dropped for room
    ++q->dropped;
    return true;
  }
  if (++q->text_count > SERIAL_QUEUE_LINES) {
    // The oldest free text makes room: the update waits for what the board
    // says last, and for the status words, which stay where they are.
    static_cast<queued_line_t *>(lfqueue_single_deq(&q->text))->dropped = true;
    --q->text_count;
    ++q->dropped;
  }
  return true;
}

bool serial_queue_pop(serial_line_queue_t *q, char *dest, int32_t dest_size) {
  for (;;) {
    auto *line = static_cast<queued_line_t *>(lfqueue_single_deq(&q->lines));
    if (!line)
      return false;
    if (line->dropped) {
      std::free(line);
      continue;
    }
    if (line->status) {
      --q->status_count;
    } else {
      // The oldest free text still kept is this one: both queues keep the
      // board's order.
      lfqueue_single_deq(&q->text);
      --q->text_count;
    }
    std::strncpy(dest, line->text(), static_cast<size_t>(dest_size));
    dest[dest_size - 1] = '\0';
    std::free(line);
    return true;
  }
}

void serial_queue_free(serial_line_queue_t *q) {
  empty_index(&q->text);
  lfqueue_destroy(&q->text);
  // Destroying the main queue hands every line still queued to std::free.
  lfqueue_destroy(&q->lines);
  q->text_count = q->status_count = 0;
}
