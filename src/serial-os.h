#pragma once
// The seam between the portable serial link (serial.cpp) and its operating-
// system half (serial-posix.cpp / serial-win32.cpp, watcher-linux.cpp /
// watcher-win32.cpp). Each platform lays out serial_transport_t in its own
// header, starting with the part the portable code uses.
#include "serial.h"

#include <atomic>
#include <cstdint>

// The part of the heap record that the portable code and the watcher share.
// The watcher writes `connected` while the caller's thread reads it, so it
// is atomic (sequentially consistent loads and stores). No other field is
// read on one thread while the other writes it.
struct serial_shared_t {
  std::atomic<bool> connected{false}; // false only while the board is off the bus
  char device_path[1024]{};           // the port's device path as found when it was opened; "" if none
  bool queue_ready = false;           // rx_queue was initialised and must be destroyed
  // Why the last open failed: errno on POSIX, GetLastError on Windows; 0 when
  // it did not fail. Read by serial_init before the watcher starts.
  uint32_t open_error = 0;
};

// A cleared heap record; null when out of memory. On Windows it also asks for
// a 1 ms system timer for the life of the link (see serial-win32.cpp).
serial_transport_t *serial_os_alloc();
void serial_os_release(serial_transport_t *t);
serial_shared_t *serial_os_shared(serial_transport_t *t);

// Opens the link's port and applies the settings; prints the state and
// time-out errors itself, nothing when the port cannot be opened. Does not
// touch `connected`. A failed open leaves the system's reason in
// `open_error`.
bool serial_os_open(serial_t *s);
// Whether the port is open right now (it may close at any moment after).
bool serial_os_is_open(serial_transport_t *t);
// Takes what has arrived, up to `count` bytes, without waiting: the number of
// bytes, 0 when none, -1 when the port is closed or the read fails. A port
// whose board has just left may read as empty rather than fail until the
// watcher closes it.
int32_t serial_os_read(serial_transport_t *t, uint8_t *bytes, int32_t count);
// One write with the port's write time-out (20 ms per byte asked for plus
// 1000 ms): bytes taken, 0 when none were taken in that time, -1 when the
// port is closed, was closed or reopened during the write, or failed.
int32_t serial_os_write(serial_transport_t *t, const uint8_t *bytes, int32_t count);
// Closes the port if it is open. Waits for a read or write in progress.
void serial_os_close(serial_transport_t *t);

// Starts the watcher thread for the link (prints "Failed to create thread.
// Error: %lu\n" on standard output when it cannot).
bool serial_watcher_start(serial_t *s);
// Asks the watcher to end, without waiting for it. The request is a signal
// of the watcher's own: nothing the link does afterwards, a reconnection
// included, withdraws it. Does nothing when no watcher runs.
void serial_watcher_request_stop(serial_transport_t *t);
// Asks the watcher to end and joins it, waiting at most
// SERIAL_WATCHER_STOP_MS: true when it ended (or never ran), false when it
// is still running and its record must be kept.
constexpr int32_t SERIAL_WATCHER_STOP_MS = 2000;
bool serial_watcher_stop(serial_transport_t *t);
