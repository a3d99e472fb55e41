#pragma once
// The POSIX layout of the link's heap record: the port is a tty file
// descriptor configured with termios, the watcher a pthread with a stop
// signal of its own.
#include "serial-os.h"

#include <mutex>
#include <pthread.h>
#include <termios.h>

// The port handle: a file descriptor, with -1 standing for "not open".
using serial_handle_t = int;
constexpr serial_handle_t SERIAL_NO_HANDLE = -1;

struct serial_transport_t : serial_shared_t {
  // The handle is shared with the watcher thread, which closes it when the
  // board leaves the bus and reopens the port when it comes back. Every
  // read, write, close and replacement of it happens with handle_lock held,
  // and each open or close moves `generation` on. A write that waits for
  // room in the port (poll, outside the lock) checks the generation again
  // before its next write: if the port was closed or reopened meanwhile it
  // fails instead of carrying on with another port behind the same number.
  // So no send or read ever acts on a closed or reused descriptor, and the
  // watcher never waits longer than one read() or write() call for the lock.
  std::mutex handle_lock;
  serial_handle_t handle = SERIAL_NO_HANDLE;
  uint32_t generation = 0;
  // The open port's settings as we found them, given back when it closes:
  // the port may be a device the technician uses for something else too.
  termios found{};
  pthread_t thread{}; // the watcher, valid while thread_started
  bool thread_started = false;
  int stop_fd = -1; // the watcher's stop signal: readable once a stop is asked for, and from then on
};

// Closes the port only while it is still the one opened as `generation`:
// the watcher decides from a look taken earlier, and must not close a port
// that was reopened meanwhile. True when it closed it.
bool serial_posix_close_generation(serial_transport_t *t, uint32_t generation);
