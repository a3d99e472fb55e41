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

// A look at the port takes what the board has sent in reads of this size,
// until a read comes back short, but no more than kMostPerLook bytes: a board
// that sends faster than its lines are framed still lets the look end.
constexpr int32_t kReadBytes = 4096;
constexpr int32_t kMostPerLook = 65536;

// The port's write as the send loop sees it, keeping count of what the port
// took and whether the port itself failed.
struct send_t {
  serial_transport_t *transport;
  serial_t *s;
};

int32_t write_on_port(void *context, const uint8_t *bytes, int32_t count) {
  auto *send = static_cast<send_t *>(context);
  const int32_t n = serial_os_write(send->transport, bytes, count);
  if (n > 0)
    send->s->tx_taken += n;
  else if (n < 0)
    send->s->tx_port_failed = 1;
  return n;
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
  if (!serial_queue_init(&s->rx_queue)) {
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
  s->tx_taken = 0;
  s->tx_port_failed = 0;
  if (!s->transport)
    return false;
  if (!wait_for_connected(serial_os_shared(s->transport)))
    return false;
  if (!serial_os_is_open(s->transport)) {
    s->tx_port_failed = 1;
    return false;
  }
  send_t send{s->transport, s};
  return serial_send_loop(static_cast<const uint8_t *>(bytes), count, write_on_port, &send, interrupt_requested);
}

bool serial_rx_pop(serial_t *s, char *dest, int32_t dest_size) {
  if (!s->transport || !serial_os_shared(s->transport)->queue_ready || dest_size < 1)
    return false;
  // A board that talks a lot (a log, an echoing bridge) stops reading once
  // its own output backs up: everything it sent is taken at each look, while
  // the reader still gets one line per call.
  uint8_t bytes[kReadBytes];
  int32_t taken = 0;
  while (taken < kMostPerLook) {
    const int32_t n = serial_os_read(s->transport, bytes, kReadBytes);
    if (n <= 0)
      break;
    serial_frame(s->line_buf, &s->line_len, bytes, n, serial_queue_push, &s->rx_queue);
    taken += n;
    if (n < kReadBytes)
      break;
  }
  if (serial_queue_pop(&s->rx_queue, dest, dest_size))
    return true;
  // Only a look that found nothing at all pauses: lines already queued are
  // handed out at the pace the reader takes them.
  if (taken == 0)
    wait_ms(2);
  return false;
}

bool serial_available(serial_t *s) { return s->transport && serial_os_shared(s->transport)->connected.load(); }

bool serial_board_left(serial_t *s) {
  if (!s->transport)
    return false;
  return !serial_available(s) || (s->tx_port_failed != 0 && !serial_port_present(s->port_name));
}

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
    if (s->rx_queue.dropped > 0) {
      std::fflush(stdout);
      std::fprintf(stderr,
                   "WARNING: The I/O board sent text faster than it was taken; %lld of its lines were dropped\n",
                   static_cast<long long>(s->rx_queue.dropped));
    }
    serial_queue_free(&s->rx_queue);
    shared->queue_ready = false;
  }
  if (watcher_ended)
    serial_os_release(s->transport);
  s->transport = nullptr;
  s->running = 0;
}
