// The link's watcher thread on Windows. It runs a message loop and looks at
// stop_requested after every message; it is stopped by posting WM_QUIT to
// it and waiting for it to end, never by TerminateThread, which could kill
// it holding the heap's lock.
#include "serial-win32.h"

#include "timer.h"

#include <cstdio>

DWORD WINAPI ThreadFunc(LPVOID param) {
  auto *s = static_cast<serial_t *>(param);
  serial_transport_t *t = s->transport;
  MSG msg;
  // Make this thread's message queue now, so a stop request posted from the
  // first moment on is not lost.
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  while (!serial_flag_read(t->stop_requested)) {
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      if (serial_flag_read(t->stop_requested))
        break;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  serial_flag_store(t->stop_requested, 0);
  return 0;
}

bool serial_watcher_start(serial_t *s) {
  serial_transport_t *t = s->transport;
  t->thread = CreateThread(nullptr, 0, ThreadFunc, s, 0, &t->thread_id);
  if (!t->thread) {
    std::printf("Failed to create thread. Error: %lu\n", GetLastError());
    return false;
  }
  return true;
}

bool serial_watcher_stop(serial_transport_t *t) {
  if (!t->thread)
    return true;
  // Asked again at every round: posting fails until the thread has its
  // message queue, and a reconnection running on the watcher withdraws a
  // request made just before it.
  const int64_t start = timer_monotonic_ms(); // the real clock, whatever a test put in
  for (;;) {
    serial_flag_store(t->stop_requested, 1);
    PostThreadMessageA(t->thread_id, WM_QUIT, 0, 0);
    if (WaitForSingleObject(t->thread, 10) == WAIT_OBJECT_0)
      break;
    if (timer_monotonic_ms() - start >= SERIAL_WATCHER_STOP_MS) {
      CloseHandle(t->thread); // the thread runs on, detached, with its record
      t->thread = nullptr;
      return false;
    }
  }
  CloseHandle(t->thread);
  t->thread = nullptr;
  return true;
}
