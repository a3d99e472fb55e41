#pragma once
// The Windows layout of the link's heap record: the port is a file handle on
// the COM device, the watcher a Win32 thread with a message queue.
#include "serial-os.h"

#include <windows.h>

// The port handle: null whenever the port is not open (never
// INVALID_HANDLE_VALUE).
using serial_handle_t = HANDLE;

struct serial_transport_t : serial_shared_t {
  // The handle is shared with the watcher thread, which closes it when the
  // board leaves the bus and reopens the port when it comes back. Every
  // ReadFile, WriteFile, CloseHandle and replacement of the handle happens
  // with handle_lock held (a slim reader/writer lock, taken exclusively), so
  // a send or read either completes on the port it started on or finds the
  // handle null and fails: it never acts on a closed or reused handle. The
  // watcher waits at most for one WriteFile, which the port's write time-out
  // bounds and which a removed USB device ends at once.
  SRWLOCK handle_lock = SRWLOCK_INIT;
  serial_handle_t handle = nullptr;
  HANDLE thread = nullptr; // the watcher; null if it was not started
  DWORD thread_id = 0;
  bool fine_timer = false; // timeBeginPeriod(1) is in force for this link
};
