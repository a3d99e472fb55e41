// The serial link on a pseudo-terminal: the test holds the master side and
// plays the board; the link opens the slave path as it would /dev/ttyACM0.
#include "serial-os.h"
#include "serial.h"
#include "timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

class Pty {
public:
  Pty() {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
      std::abort();
    path_ = name;
    fcntl(master_, F_SETFL, O_NONBLOCK);
  }
  ~Pty() {
    close_master();
    close(slave_);
  }
  const std::string &path() const { return path_; }
  int slave() const { return slave_; }
  void write_all(const std::string &bytes) const {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Everything that arrives until `n` bytes are in or `ms` pass.
  std::string read_until(size_t n, int ms) const {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0)
        continue;
      char buf[4096];
      const ssize_t r = read(master_, buf, sizeof(buf));
      if (r > 0)
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }
  void close_master() {
    if (master_ >= 0)
      close(master_);
    master_ = -1;
  }

private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

// A line popped within `ms`, or "<none>".
std::string pop_within(serial_t *s, int ms, int32_t dest_size = 256) {
  const int32_t start = get_absolute_time();
  std::string dest(static_cast<size_t>(dest_size), 'Z');
  while (!time_reached(start, ms)) {
    if (serial_rx_pop(s, dest.data(), dest_size))
      return dest.c_str();
  }
  return "<none>";
}

TEST(SerialPosix, OpensAsARawPortAt115200) {
  Pty pty;
  serial_t s;
  ASSERT_TRUE(serial_init(&s, pty.path().c_str()));
  EXPECT_EQ(s.running, 1);
  EXPECT_TRUE(serial_available(&s));
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.slave(), &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), B115200);
  EXPECT_EQ(cfgetospeed(&tio), B115200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
  serial_free(&s);
  EXPECT_EQ(s.transport, nullptr);
  EXPECT_EQ(s.running, 0);
  serial_free(&s); // a second free does nothing
}

TEST(SerialPosix, APortIsGivenBackWithTheSettingsItHadBefore) {
  Pty pty;
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  before.c_lflag |= ICANON | ECHO;
  before.c_oflag |= OPOST;
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  serial_t s;
  ASSERT_TRUE(serial_init(&s, pty.path().c_str()));
  termios during{};
  ASSERT_EQ(tcgetattr(pty.slave(), &during), 0);
  EXPECT_EQ(during.c_lflag & ICANON, 0u) << "raw while the link is open";
  serial_free(&s);
  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
}

struct OpenFailure {
  const char *name;
  std::string path;
  std::string errors; // then the line that says why, which begins with `reason`
  std::string reason;
};

TEST(SerialPosix, PortsThatCannotBeOpenedSayWhy) {
  Pty busy;
  serial_t holder;
  ASSERT_TRUE(serial_init(&holder, busy.path().c_str()));
  const std::string missing = "/nonexistent/ttyACM9";
  const std::string long_missing = "/nonexistent/" + std::string(300, 'x');
  const OpenFailure cases[] = {
      {"missing path", missing, "ERROR: Unable to open serial port " + missing + "\n",
       "  No such port: " + missing + " does not exist. "},
      {"a file that is no tty", "/dev/null",
       "ERROR: Error getting state\nERROR: Unable to open serial port /dev/null\n",
       "  Not a serial port: /dev/null is not a terminal device. "},
      // Held by this very process, which the message does not name.
      {"held by another link", busy.path(), "ERROR: Unable to open serial port " + busy.path() + "\n",
       "  Port busy: another program holds " + busy.path()},
      {"300-character name", long_missing, "ERROR: Unable to open serial port " + long_missing + "\n",
       "  No such port: " + long_missing + " does not exist. "},
  };
  for (const auto &c : cases) {
    serial_t s;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(serial_init(&s, c.path.c_str())) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.name;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(0, c.errors.size() + c.reason.size()), c.errors + c.reason) << c.name;
    EXPECT_EQ(err.find('\n', c.errors.size()), err.size() - 1) << c.name << ": one line says why";
    EXPECT_EQ(s.running, 0) << c.name;
    EXPECT_EQ(std::string(s.port_name), c.path) << c.name;
    // A link that failed to open: sends and reads fail at once, nothing queued.
    EXPECT_TRUE(serial_available(&s)) << c.name;
    EXPECT_FALSE(serial_tx(&s, "FWUP 1\n")) << c.name;
    char line[256];
    EXPECT_FALSE(serial_rx_pop(&s, line, sizeof(line))) << c.name;
    serial_free(&s);
    serial_free(&s);
    EXPECT_EQ(s.transport, nullptr) << c.name;
  }
  serial_free(&holder);
  // Once the holder lets go the port opens again.
  serial_t again;
  EXPECT_TRUE(serial_init(&again, busy.path().c_str()));
  serial_free(&again);
}

// No descriptor left for the watcher's wake-up pipe once the port is open:
// the watcher cannot start. The failure is said on standard output, the
// link reports it, and the port stays open and usable, only unwatched.
TEST(SerialPosix, AWatcherThatCannotStartLeavesTheOpenPortUsable) {
  Pty pty;
  serial_t s;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  const int lowest_free = dup(0);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  // The port takes the lowest free descriptor, and none is left after it.
  rlimit tight = before;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const bool opened = serial_init(&s, pty.path().c_str());
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
  EXPECT_FALSE(opened);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to create thread. Error: " + std::to_string(EMFILE) + "\n");
  EXPECT_EQ(s.running, 0);
  EXPECT_TRUE(serial_tx(&s, "FWUP 1\n"));
  EXPECT_EQ(pty.read_until(7, 2000), "FWUP 1\n");
  pty.write_all("START\r\n");
  EXPECT_EQ(pop_within(&s, 2000), "START");
  serial_free(&s);
  EXPECT_EQ(s.transport, nullptr);
  // The port was closed by the free: another link may have it now.
  serial_t again;
  EXPECT_TRUE(serial_init(&again, pty.path().c_str()));
  serial_free(&again);
}

TEST(SerialPosix, BoardLinesComeOutFramedOnePerCall) {
  Pty pty;
  serial_t s;
  ASSERT_TRUE(serial_init(&s, pty.path().c_str()));
  EXPECT_EQ(pop_within(&s, 50), "<none>");
  pty.write_all("OK\r\nST");
  EXPECT_EQ(pop_within(&s, 2000), "OK");
  EXPECT_EQ(pop_within(&s, 50), "<none>") << "half a line is not a line";
  pty.write_all("ART\r\n");
  EXPECT_EQ(pop_within(&s, 2000, 4), "STA") << "a small destination gets the line's start";
  pty.write_all("A\nB\n");
  EXPECT_EQ(pop_within(&s, 2000), "A");
  EXPECT_EQ(pop_within(&s, 2000), "B");
  EXPECT_EQ(pop_within(&s, 50), "<none>");
  // Lines still queued when the link closes are released with it (the
  // sanitizer build checks that nothing leaks).
  pty.write_all("X\nY\nZ\n");
  EXPECT_EQ(pop_within(&s, 2000), "X");
  serial_free(&s);
}

TEST(SerialPosix, WhatTheBoardSaidBeforeTheOpenIsDropped) {
  Pty pty;
  pty.write_all("stale\r\n");
  pollfd p{pty.slave(), POLLIN, 0}; // wait until the tty holds it, so the open has it to drop
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  serial_t s;
  ASSERT_TRUE(serial_init(&s, pty.path().c_str()));
  pty.write_all("fresh\r\n");
  EXPECT_EQ(pop_within(&s, 2000), "fresh");
  serial_free(&s);
}

TEST(SerialPosix, BytesArriveIntactAndInOrder) {
  Pty pty;
  serial_t s;
  ASSERT_TRUE(serial_init(&s, pty.path().c_str()));
  std::string data(300000, '\0');
  uint32_t x = 12345;
  for (auto &c : data)
    c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  std::string got;
  std::thread board([&] { got = pty.read_until(data.size(), 20000); });
  bool ok = true;
  for (size_t at = 0; at < data.size(); at += 4096) {
    const auto n = static_cast<int32_t>(std::min<size_t>(4096, data.size() - at));
    ok = ok && serial_tx_bytes(&s, data.data() + at, n);
  }
  board.join();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(got == data) << "received " << got.size() << " of " << data.size() << " bytes, or out of order";
  EXPECT_TRUE(serial_tx_bytes(&s, "unused", 0));
  EXPECT_EQ(pty.read_until(1, 50), "") << "a count of 0 writes nothing";
  serial_free(&s);
}

// A clock at 200 times real speed, so the 30-second no-progress limit
// passes in a fraction of a second of real time.
std::atomic<int64_t> fast_base{0};
int64_t fast_clock() { return fast_base + timer_monotonic_ms() * 200; }

TEST(SerialPosix, ABoardThatStopsReadingFailsTheSend) {
  Pty pty;
  serial_t s;
  ASSERT_TRUE(serial_init(&s, pty.path().c_str()));
  timer_set_source(fast_clock);
  const auto real_start = std::chrono::steady_clock::now();
  const std::string piece(4096, 'i');
  bool ok = true;
  int pieces = 0;
  while (ok && pieces < 1000) { // the pty takes a few kilobytes, then nothing
    ok = serial_tx_bytes(&s, piece.data(), static_cast<int32_t>(piece.size()));
    ++pieces;
  }
  timer_set_source(nullptr);
  EXPECT_FALSE(ok);
  EXPECT_LT(pieces, 1000);
  EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(30)) << "the fast clock was not used";
  serial_free(&s);
}

TEST(SerialPosix, ABoardThatLeftTheBusFailsSendsAndReads) {
  auto *pty = new Pty;
  serial_t s;
  ASSERT_TRUE(serial_init(&s, pty->path().c_str()));
  pty->close_master(); // the far end hangs up
  // The watcher may have seen the hang-up first: the send then waits for the
  // board to come back, which the fast clock makes short.
  timer_set_source(fast_clock);
  EXPECT_FALSE(serial_tx(&s, "IOBOOTSEL\n"));
  timer_set_source(nullptr);
  EXPECT_EQ(pop_within(&s, 50), "<none>");
  serial_free(&s);
  delete pty;
}

// What the watcher does when the board leaves the bus and comes back (close
// the port, open it again), racing with sends and reads on the caller's
// thread. Each send or read must complete on one port or fail; run under
// the thread sanitizer this also shows that the handle is never touched
// unguarded.
TEST(SerialPosix, SendsAndReadsSurviveThePortClosingAndReopeningUnderThem) {
  Pty pty;
  serial_t s;
  ASSERT_TRUE(serial_init(&s, pty.path().c_str()));
  // This thread plays the watcher; the real one would hold the port it
  // polls open for a moment after the close, and so its lock.
  ASSERT_TRUE(serial_watcher_stop(s.transport));
  std::atomic<bool> done{false};
  std::thread board([&] {
    while (!done) {
      pty.read_until(1 << 20, 5);
      pty.write_all("tick\r\n");
    }
  });
  std::thread watcher([&] {
    for (int i = 0; i < 200; ++i) {
      serial_os_close(s.transport);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      EXPECT_TRUE(serial_connect(&s));
    }
  });
  int sends_ok = 0;
  char line[256];
  const std::string piece(512, 'p');
  for (int i = 0; i < 400; ++i) {
    sends_ok += serial_tx_bytes(&s, piece.data(), static_cast<int32_t>(piece.size()));
    serial_rx_pop(&s, line, sizeof(line));
  }
  watcher.join();
  done = true;
  board.join();
  EXPECT_GT(sends_ok, 0);
  EXPECT_TRUE(serial_os_is_open(s.transport)) << "the last reopen left the port open";
  serial_free(&s);
}

TEST(SerialPosix, LinksOpenAndCloseRepeatedlyWithoutLeavingThreads) {
  Pty pty;
  for (int i = 0; i < 20; ++i) {
    serial_t s;
    ASSERT_TRUE(serial_init(&s, pty.path().c_str()));
    if (i % 2)
      serial_stop(&s); // a stop request before free changes nothing
    serial_free(&s);
  }
}

} // namespace
