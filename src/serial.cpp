#include "serial.h"

#include "board-text.h"
#include "functions.h"
#include "interrupt.h"
#include "open-error.h"
#include "ports.h"
#include "serial-os.h"
#include "timer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void report_out_of_memory() { std::fputs("ERROR: Unable to allocate memory\n", stderr); }

// A complete line waits in rx_queue as its own heap copy of the text.
bool queue_line(void *context, const char *text, int32_t length) {
  auto *queue = static_cast<lfq_queue_t *>(context);
  char *copy = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
  if (!copy) {
    report_out_of_memory();
    return false;
  }
  std::memcpy(copy, text, static_cast<size_t>(length) + 1);
  // The queue reports its own failure to get a node (perror "malloc").
  if (lfqueue_enq(queue, copy) != 0) {
    std::free(copy);
    return false;
  }
  return true;
}

int32_t write_on_port(void *context, const uint8_t *bytes, int32_t count) {
  return serial_os_write(static_cast<serial_transport_t *>(context), bytes, count);
}

// A send that starts while the board is off the bus waits for the watcher to
// bring the port back, but not for ever: a board that never returns fails the
// send like any other.
bool wait_for_connected(serial_shared_t *shared) {
  const int32_t start = get_absolute_time();
  while (!shared->connected.load()) {
    if (time_reached(start, SERIAL_RECONNECT_WAIT_MS) || interrupt_requested())
      return false;
    wait_ms(1);
  }
  return true;
}

} // namespace

bool serial_send_loop(const uint8_t *bytes, int32_t count, serial_write_fn write, void *context, serial_stop_fn stop,
                      int32_t *sent_out) {
  int32_t unused = 0;
  int32_t &sent = sent_out ? *sent_out : unused;
  sent = 0;
  int32_t progress_at = get_absolute_time();
  while (sent < count) {
    if (stop && stop())
      return false;
    const int32_t n = write(context, bytes + sent, std::min(count - sent, SERIAL_WRITE_CALL_BYTES));
    if (n < 0)
      return false;
    if (n > 0) {
      sent += n;
      progress_at = get_absolute_time();
      continue;
    }
    // A board whose bridge stopped taking bytes must not hang the update:
    // give up once it has taken nothing for the whole limit.
    if (time_reached(progress_at, SERIAL_NO_PROGRESS_MS))
      return false;
    wait_ms(1);
  }
  return true;
}

bool serial_init(serial_t *s, const char *port_name) {
  std::memset(static_cast<void *>(s), 0, sizeof(*s));
  s->transport = serial_os_alloc();
  std::strncpy(s->port_name, port_name, sizeof(s->port_name) - 1);
  if (!s->transport) {
    report_out_of_memory();
    return false;
  }
  serial_shared_t *shared = serial_os_shared(s->transport);
  // Without its queue the link could not hand out a single line; the queue
  // has said why (perror "malloc").
  if (lfqueue_init(&s->rx_queue) != 0) {
    report_out_of_memory();
    return false;
  }
  shared->queue_ready = true;
  shared->connected.store(true);
  if (!serial_connect(s)) {
    std::fprintf(stderr, "ERROR: Unable to open serial port %s\n", safe_to_show(port_name).c_str());
    serial_explain_open_failure(s, port_name);
    return false;
  }
  if (!serial_watcher_start(s))
    return false;
  s->running = 1;
  return true;
}

bool serial_connect(serial_t *s) {
  serial_shared_t *shared = serial_os_shared(s->transport);
  // No path found keeps the one recorded before (empty on a fresh link).
  PortNameToDevicePathA(s->port_name, shared->device_path, static_cast<int>(sizeof(shared->device_path)));
  if (!serial_os_open(s))
    return false;
  shared->connected.store(true);
  return true;
}

bool serial_tx(serial_t *s, const char *text) {
  return serial_tx_bytes(s, text, static_cast<int32_t>(std::strlen(text)));
}

bool serial_tx_bytes(serial_t *s, const void *bytes, int32_t count) {
  int32_t sent = 0;
  return serial_tx_bytes_counted(s, bytes, count, &sent);
}

bool serial_tx_bytes_counted(serial_t *s, const void *bytes, int32_t count, int32_t *sent) {
  *sent = 0;
  if (!s->transport)
    return false;
  if (!wait_for_connected(serial_os_shared(s->transport)))
    return false;
  if (!serial_os_is_open(s->transport))
    return false;
  return serial_send_loop(static_cast<const uint8_t *>(bytes), count, write_on_port, s->transport, interrupt_requested,
                          sent);
}

bool serial_rx_pop(serial_t *s, char *dest, int32_t dest_size) {
  if (!s->transport || !serial_os_shared(s->transport)->queue_ready || dest_size < 1)
    return false;
  uint8_t bytes[256];
  const int32_t n = serial_os_read(s->transport, bytes, static_cast<int32_t>(sizeof(bytes)));
  if (n > 0) {
    serial_frame(s->line_buf, &s->line_len, bytes, n, queue_line, &s->rx_queue);
  } else {
    wait_ms(2);
  }
  auto *line = static_cast<char *>(lfqueue_deq(&s->rx_queue));
  if (!line)
    return false;
  std::strncpy(dest, line, static_cast<size_t>(dest_size));
  dest[dest_size - 1] = '\0';
  std::free(line);
  return true;
}

bool serial_available(serial_t *s) { return s->transport && serial_os_shared(s->transport)->connected.load(); }

void serial_stop(serial_t *s) {
  if (s->transport)
    serial_watcher_request_stop(s->transport);
}

void serial_free(serial_t *s) {
  if (!s->transport)
    return;
  serial_shared_t *shared = serial_os_shared(s->transport);
  // The watcher ends before the port closes, so it cannot reopen the port
  // behind our back. One that does not end keeps its record: it is left,
  // not released under a running thread.
  const bool watcher_ended = serial_watcher_stop(s->transport);
  serial_os_close(s->transport);
  if (shared->queue_ready) {
    // Destroying the queue hands every line still queued to std::free.
    lfqueue_destroy(&s->rx_queue);
    shared->queue_ready = false;
  }
  if (watcher_ended)
    serial_os_release(s->transport);
  s->transport = nullptr;
  s->running = 0;
}
