// The link's watcher thread on POSIX. It waits in poll on a wake-up pipe
// (the port's hot-plug events join the same poll set) and looks at
// stop_requested after every wake-up. It is stopped by a byte on the pipe
// and joined, never cancelled, so it never dies holding a lock.
#include "serial-posix.h"

#include "functions.h"
#include "timer.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

void drain(int fd) {
  char bytes[64];
  while (read(fd, bytes, sizeof(bytes)) > 0) {
  }
}

void *watcher_thread(void *param) {
  auto *s = static_cast<serial_t *>(param);
  serial_transport_t *t = s->transport;
  while (!serial_flag_read(t->stop_requested)) {
    // Sleeps until woken; the stop request always comes with a wake-up byte.
    pollfd p{t->wake_fd[0], POLLIN, 0};
    if (poll(&p, 1, -1) > 0)
      drain(t->wake_fd[0]);
  }
  serial_flag_store(t->stop_requested, 0);
  serial_flag_store(t->watcher_done, 1);
  return nullptr;
}

void wake(serial_transport_t *t) {
  const char byte = 1;
  // A full pipe already holds a wake-up; nothing is lost by a failed write.
  [[maybe_unused]] ssize_t n = write(t->wake_fd[1], &byte, 1);
}

void close_pipe(serial_transport_t *t) {
  for (int &fd : t->wake_fd) {
    if (fd >= 0)
      close(fd);
    fd = -1;
  }
}

bool open_pipe(serial_transport_t *t) {
  if (pipe(t->wake_fd) != 0)
    return false;
  for (int fd : t->wake_fd) {
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
      close_pipe(t);
      return false;
    }
  }
  return true;
}

} // namespace

bool serial_watcher_start(serial_t *s) {
  serial_transport_t *t = s->transport;
  if (!open_pipe(t)) {
    std::printf("Failed to create thread. Error: %lu\n", static_cast<unsigned long>(errno));
    return false;
  }
  const int err = pthread_create(&t->thread, nullptr, watcher_thread, s);
  if (err != 0) {
    close_pipe(t);
    std::printf("Failed to create thread. Error: %lu\n", static_cast<unsigned long>(err));
    return false;
  }
  t->thread_started = true;
  return true;
}

bool serial_watcher_stop(serial_transport_t *t) {
  if (!t->thread_started)
    return true;
  // The request is made again with every wake-up: a reconnection running on
  // the watcher withdraws a request made just before it.
  const int64_t start = timer_monotonic_ms(); // the real clock, whatever a test put in
  while (!serial_flag_read(t->watcher_done)) {
    if (timer_monotonic_ms() - start >= SERIAL_WATCHER_STOP_MS) {
      pthread_detach(t->thread);
      t->thread_started = false;
      return false;
    }
    serial_flag_store(t->stop_requested, 1);
    wake(t);
    wait_ms(1);
  }
  pthread_join(t->thread, nullptr);
  t->thread_started = false;
  close_pipe(t);
  return true;
}
