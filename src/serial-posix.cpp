// The serial link's port work over termios. The port name is a device path
// (/dev/ttyACM0, a /dev/serial/by-id link, a pseudo-terminal in the tests).
#include "serial-posix.h"

#include "interrupt.h"
#include "open-error.h"
#include "timer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long one write may wait for room in the port: 20 ms for every byte
// asked for plus 1000 ms, the bound the Windows port's write time-out sets.
constexpr int64_t kWriteMsPerByte = 20;
constexpr int64_t kWriteMsExtra = 1000;

int32_t write_budget_ms(int32_t count) {
  return static_cast<int32_t>(std::min<int64_t>(kWriteMsPerByte * count + kWriteMsExtra, INT32_MAX));
}

// Raw 8N1 with no flow control: the bridge speaks bytes, not a terminal
// session, and an XOFF byte inside a screen image must not pause the link.
void make_raw_115200(termios *tio) {
  tio->c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
  tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio->c_cflag |= CS8 | CLOCAL | CREAD;
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
  cfsetispeed(tio, B115200);
  cfsetospeed(tio, B115200);
}

// Gives the port back as we found it. TCSANOW: waiting for the output to
// drain could hang on a board that stopped reading.
void close_port(int fd, const termios &found) {
  tcsetattr(fd, TCSANOW, &found);
  ioctl(fd, TIOCNXCL); // let the next user in without privileges
  close(fd);           // also drops the flock
}

// The terminal this session runs in (/dev/tty, or its own /dev/pts/N):
// sending an image into it would write to the technician's screen and
// leave it raw.
bool is_own_terminal(int fd) {
  const pid_t session = tcgetsid(fd);
  return session != -1 && session == getsid(0);
}

} // namespace

serial_transport_t *serial_os_alloc() { return new (std::nothrow) serial_transport_t{}; }
void serial_os_release(serial_transport_t *t) { delete t; }
serial_shared_t *serial_os_shared(serial_transport_t *t) { return t; }

// Blocks only as long as the kernel takes to open and configure a tty.
// Returns false quietly when the path is missing, not permitted or held by
// another program; with a message when it is not a serial port or refuses
// the settings.
bool serial_os_open(serial_t *s) {
  serial_transport_t *t = s->transport;
  t->open_error = 0;
  const int fd = open(s->port_name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    t->open_error = static_cast<uint32_t>(errno);
    return false;
  }
  if (is_own_terminal(fd)) {
    t->open_error = static_cast<uint32_t>(OPEN_ERROR_OWN_TERMINAL);
    close(fd);
    return false;
  }
  // One program at a time on the board: a second orvup (or a terminal
  // program taking the lock) must not interleave its bytes with ours.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    t->open_error = static_cast<uint32_t>(errno);
    close(fd);
    return false;
  }
  termios found{};
  if (tcgetattr(fd, &found) != 0) {
    t->open_error = static_cast<uint32_t>(errno);
    std::fputs("ERROR: Error getting state\n", stderr);
    close(fd);
    return false;
  }
  ioctl(fd, TIOCEXCL); // refuses later opens by other users; root passes anyway, hence the flock
  termios tio = found;
  make_raw_115200(&tio);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    t->open_error = static_cast<uint32_t>(errno);
    std::fputs("ERROR: Error setting state\n", stderr);
    close_port(fd, found);
    return false;
  }
  // The board's USB serial side sees DTR as "a host is listening". A
  // pseudo-terminal has no modem lines (ENOTTY or EINVAL): ignored, as are
  // the flush of stale bytes in either direction.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIS, &lines);
  tcflush(fd, TCIOFLUSH);
  // Reads return at once (non-blocking, VMIN = VTIME = 0); writes wait in
  // poll, each for at most its write_budget_ms.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    t->open_error = static_cast<uint32_t>(errno);
    std::fputs("ERROR: Error setting timeouts\n", stderr);
    close_port(fd, found);
    return false;
  }
  std::lock_guard<std::mutex> hold(t->handle_lock);
  if (t->handle != SERIAL_NO_HANDLE)
    close_port(t->handle, t->found); // never leak a stale descriptor
  t->handle = fd;
  t->found = found;
  t->generation++;
  return true;
}

bool serial_os_is_open(serial_transport_t *t) {
  std::lock_guard<std::mutex> hold(t->handle_lock);
  return t->handle != SERIAL_NO_HANDLE;
}

// Never blocks: the descriptor is non-blocking. 0 when nothing has arrived,
// and also at end of file, which is how a terminal hung up by a board that
// left the bus reads until the watcher closes it. -1 when the port is closed
// or the read fails (EIO).
int32_t serial_os_read(serial_transport_t *t, uint8_t *bytes, int32_t count) {
  std::lock_guard<std::mutex> hold(t->handle_lock);
  if (t->handle == SERIAL_NO_HANDLE)
    return -1;
  const ssize_t n = read(t->handle, bytes, static_cast<size_t>(count));
  if (n > 0)
    return static_cast<int32_t>(n);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    return 0;
  return n == 0 ? 0 : -1;
}

// Blocks at most 20 ms per byte asked for plus 1000 ms, waiting in poll for
// room in the port; returns what was taken once a stop is asked for. -1 when the port is closed, goes away or is
// reopened under the write.
int32_t serial_os_write(serial_transport_t *t, const uint8_t *bytes, int32_t count) {
  const int32_t start = get_absolute_time();
  const int32_t budget = write_budget_ms(count);
  uint32_t generation = 0;
  {
    std::lock_guard<std::mutex> hold(t->handle_lock);
    if (t->handle == SERIAL_NO_HANDLE)
      return -1;
    generation = t->generation;
  }
  int32_t written = 0;
  while (written < count) {
    int fd = SERIAL_NO_HANDLE;
    {
      std::lock_guard<std::mutex> hold(t->handle_lock);
      if (t->handle == SERIAL_NO_HANDLE || t->generation != generation)
        return -1;
      const ssize_t n = write(t->handle, bytes + written, static_cast<size_t>(count - written));
      if (n > 0) {
        written += static_cast<int32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        return -1;
      fd = t->handle;
    }
    const int32_t elapsed = timer_elapsed_ms(start);
    if (elapsed >= budget || interrupt_requested())
      break;
    // Wait for room outside the lock, so the watcher can close the port
    // meanwhile; the generation check above catches that. A short slice
    // bounds how late a close is noticed.
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, std::min(budget - elapsed, 50));
  }
  return written;
}

// Waits only for a read or write in progress to finish (each is bounded).
void serial_os_close(serial_transport_t *t) {
  std::lock_guard<std::mutex> hold(t->handle_lock);
  if (t->handle == SERIAL_NO_HANDLE)
    return;
  close_port(t->handle, t->found);
  t->handle = SERIAL_NO_HANDLE;
  t->generation++;
}

bool serial_posix_close_generation(serial_transport_t *t, uint32_t generation) {
  std::lock_guard<std::mutex> hold(t->handle_lock);
  if (t->handle == SERIAL_NO_HANDLE || t->generation != generation)
    return false;
  close_port(t->handle, t->found);
  t->handle = SERIAL_NO_HANDLE;
  t->generation++;
  return true;
}

bool serial_port_present(const char *port_name) {
  // Looked at, not opened: opening a board's port changes its modem lines.
  struct stat st;
  return stat(port_name, &st) == 0 && S_ISCHR(st.st_mode);
}
