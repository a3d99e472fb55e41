// The link's watcher thread on Linux: follows the board's port through USB
// removal and return. It waits in poll on three things: its stop signal (an
// eventfd), the port's descriptor (a board that left the bus hangs it up)
// and the inotify watch of the port's path (the path goes, and comes back
// when the board does). It closes a dead port at once: cdc-acm keeps the
// device's minor number while any descriptor stays open, so a late close
// would bring the board back under another name. It reopens the port with
// serial_connect when the same path comes back.
//
// It ends once its stop signal is set, which nothing clears, and is joined,
// never cancelled, so it never dies holding a lock.
#include "pathwatch-linux.h"
#include "serial-posix.h"

#include "functions.h"
#include "timer.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// udev sets a new node's owner and mode a moment after the kernel makes it,
// and programs such as ModemManager may hold a new port briefly: an open
// refused for those reasons is tried again for this long.
constexpr int64_t kReopenRetryMs = 1000;
constexpr int64_t kReopenPauseMs = 10;

struct watcher_t {
  serial_t *s;
  serial_transport_t *t;
  path_watch_t paths;
  bool retrying = false; // a refused reopen is tried again until retry_until
  int64_t retry_until = 0;
  int64_t next_try = 0;
};

// The port as the watcher last saw it; by the time it acts on this, the
// generation tells whether it is still the same port.
struct port_view_t {
  int fd = SERIAL_NO_HANDLE;
  uint32_t generation = 0;
  dev_t device = 0;
};

port_view_t look_at_port(serial_transport_t *t) {
  port_view_t v;
  std::lock_guard<std::mutex> hold(t->handle_lock);
  v.fd = t->handle;
  v.generation = t->generation;
  struct stat st;
  if (v.fd != SERIAL_NO_HANDLE && fstat(v.fd, &st) == 0)
    v.device = st.st_rdev;
  return v;
}

// The board left the bus: the port it had is closed now, and sends wait
// for it to come back.
void port_removed(watcher_t *w, const port_view_t &v) {
  if (serial_posix_close_generation(w->t, v.generation))
    w->t->connected.store(false);
}

bool refused_for_now(int err) { return err == EACCES || err == EPERM || err == EBUSY || err == EWOULDBLOCK; }

// Opens the port again. Whatever the outcome, once it is decided a sender
// that waits for the board stops waiting: it goes on over the new port, or
// fails at once when the port did not open.
void reopen(watcher_t *w, bool first_try) {
  const int64_t now = timer_monotonic_ms();
  if (first_try)
    w->retry_until = now + kReopenRetryMs;
  errno = 0;
  if (serial_connect(w->s)) {
    w->retrying = false;
    return;
  }
  if (refused_for_now(errno) && now < w->retry_until) {
    w->retrying = true;
    w->next_try = now + kReopenPauseMs;
    return;
  }
  w->retrying = false;
  w->t->connected.store(true);
}

// Something changed in a watched folder: is the port's path still there,
// and does it still lead to the port that is open?
void path_changed(watcher_t *w, int32_t events) {
  path_watch_arm(&w->paths, w->s->port_name);
  struct stat st;
  const bool present = stat(w->s->port_name, &st) == 0;
  const int missing_why = present ? 0 : errno;
  // A board that left again while its reopen was being retried is waited
  // for afresh; a sender keeps waiting within its own bound.
  if (!present)
    w->retrying = false;
  const port_view_t v = look_at_port(w->t);
  if (v.fd != SERIAL_NO_HANDLE) {
    // A path that leads elsewhere now names another device: ours is gone.
    if (present && st.st_rdev == v.device)
      return;
    if (!present && missing_why != ENOENT && missing_why != ENOTDIR)
      return; // cannot tell; the port's own hang-up will say
    port_removed(w, v);
    if (present)
      events |= PATH_EVENT_ARRIVAL; // whatever came in its place is to be opened
  }
  if (present && (events & PATH_EVENT_ARRIVAL) && !serial_os_is_open(w->t))
    reopen(w, !w->retrying);
}

int poll_timeout(const watcher_t *w) {
  if (!w->retrying)
    return -1;
  const int64_t left = w->next_try - timer_monotonic_ms();
  return left <= 0 ? 0 : static_cast<int>(left);
}

void watch(watcher_t *w) {
  serial_transport_t *t = w->t;
  for (;;) {
    const port_view_t v = look_at_port(t);
    // The port is polled for nothing but its hang-up; its bytes are the
    // caller's to read.
    pollfd fds[3] = {{t->stop_fd, POLLIN, 0}, {w->paths.fd, POLLIN, 0}, {v.fd, 0, 0}};
    const int n = poll(fds, 3, poll_timeout(w));
    if (n < 0 && errno != EINTR)
      wait_ms(10); // out of kernel memory: try again shortly rather than spin
    if (fds[0].revents & POLLIN)
      return;
    if (n <= 0 && !w->retrying)
      continue;
    if (v.fd != SERIAL_NO_HANDLE && (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)))
      port_removed(w, v);
    if (fds[1].revents & POLLIN) {
      const int32_t events = path_watch_take(&w->paths);
      if (events != PATH_EVENT_NONE)
        path_changed(w, events);
    }
    if (w->retrying && timer_monotonic_ms() >= w->next_try)
      reopen(w, false);
  }
}

void *watcher_thread(void *param) {
  watcher_t w{static_cast<serial_t *>(param), static_cast<serial_t *>(param)->transport, {}};
  // Without inotify the watcher still closes a port that hangs up.
  if (path_watch_open(&w.paths)) {
    // The node the port was opened on, in case the link is already gone.
    copy_cut(w.paths.target, static_cast<int>(sizeof(w.paths.target)), w.t->device_path);
    // The board may have left between the open and the watch: look once.
    path_changed(&w, PATH_EVENT_CHANGE);
  }
  watch(&w);
  path_watch_close(&w.paths);
  return nullptr;
}

void close_stop_signal(serial_transport_t *t) {
  if (t->stop_fd >= 0)
    close(t->stop_fd);
  t->stop_fd = -1;
}

// SERIAL_WATCHER_STOP_MS from now on the system clock, which is the clock
// pthread_timedjoin_np takes; whatever clock a test put in does not count.
timespec stop_deadline() {
  timespec at{};
  clock_gettime(CLOCK_REALTIME, &at);
  at.tv_sec += SERIAL_WATCHER_STOP_MS / 1000;
  at.tv_nsec += static_cast<long>(SERIAL_WATCHER_STOP_MS % 1000) * 1000000L;
  if (at.tv_nsec >= 1000000000L) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000L;
  }
  return at;
}

} // namespace

bool serial_watcher_start(serial_t *s) {
  serial_transport_t *t = s->transport;
  t->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (t->stop_fd < 0) {
    std::printf("Failed to create thread. Error: %lu\n", static_cast<unsigned long>(errno));
    return false;
  }
  const int err = pthread_create(&t->thread, nullptr, watcher_thread, s);
  if (err != 0) {
    close_stop_signal(t);
    std::printf("Failed to create thread. Error: %lu\n", static_cast<unsigned long>(err));
    return false;
  }
  t->thread_started = true;
  return true;
}

void serial_watcher_request_stop(serial_transport_t *t) {
  if (!t->thread_started)
    return;
  // The counter only grows, and the watcher never reads it: once set, the
  // signal stays readable for every poll after. A write refused because the
  // counter is full leaves it set all the same.
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(t->stop_fd, &one, sizeof one);
}

bool serial_watcher_stop(serial_transport_t *t) {
  if (!t->thread_started)
    return true;
  serial_watcher_request_stop(t);
  const timespec deadline = stop_deadline();
  const bool ended = pthread_timedjoin_np(t->thread, nullptr, &deadline) == 0;
  t->thread_started = false;
  if (!ended) {
    // It runs on, detached, with its record and its stop signal.
    pthread_detach(t->thread);
    return false;
  }
  close_stop_signal(t);
  return true;
}
