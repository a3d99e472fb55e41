// The simulated board itself, driven from this process as the program under
// test would drive it: open the port, send a command, read the answers.
#include "board_sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

using orvtest::BoardScript;
using orvtest::BoardSim;

namespace {

// The program's side of the port, kept minimal: raw reads and writes.
struct Port {
  int fd = -1;
  explicit Port(const std::string &path) {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    tcflush(fd, TCIOFLUSH);
  }
  ~Port() {
    if (fd >= 0)
      close(fd);
  }
  bool write_all(const std::string &bytes, int timeout_ms = 2000) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN)
        return false;
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    }
    return true;
  }
  // Everything that arrives until `want` was seen or the time is up.
  std::string read_until(const std::string &want, int timeout_ms) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0)
        continue;
      char buf[512];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0)
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
};

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 7 + 3) & 0xff);
  return s;
}

TEST(BoardSim, PlaysAnUpdateAndRecordsTheWireBytes) {
  BoardScript script;
  script.lines_at = {{0, "ready\r\n"}, {5000, "half\r\n"}};
  BoardSim board(script);
  Port port(board.device_path());
  ASSERT_GE(port.fd, 0);
  ASSERT_TRUE(port.write_all("FWUP 10000\n"));
  EXPECT_EQ(port.read_until("ready\r\n", 2000), "START\r\nready\r\n");
  const std::string image = pattern(10000);
  ASSERT_TRUE(port.write_all(image));
  EXPECT_EQ(port.read_until("DONE\r\n", 2000), "half\r\nDONE\r\n");
  EXPECT_EQ(board.received(), "FWUP 10000\n" + image);
  EXPECT_EQ(board.image_received(), 10000);
  EXPECT_EQ(board.opens(), 1);
}

TEST(BoardSim, StaleLinesComeAfterTheOpenAndSurviveThePurge) {
  BoardScript script;
  script.stale_lines = "FAIL\r\nold\r\n";
  BoardSim board(script);
  Port port(board.device_path());
  EXPECT_EQ(port.read_until("old\r\n", 2000), "FAIL\r\nold\r\n");
  EXPECT_TRUE(board.in_use());
}

TEST(BoardSim, StalledBoardStopsReadingSoWritesBlock) {
  BoardScript script;
  script.stall_after = 1000;
  script.lines_at = {{1000, "TIMEOUT\r\n"}};
  BoardSim board(script);
  Port port(board.device_path());
  ASSERT_TRUE(port.write_all("FWUP 200000\n"));
  port.read_until("START\r\n", 2000);
  // The pseudo-terminal buffers some kilobytes; past those the writer waits.
  EXPECT_FALSE(port.write_all(pattern(200000), 300));
  EXPECT_EQ(port.read_until("TIMEOUT\r\n", 2000), "TIMEOUT\r\n");
  EXPECT_EQ(board.image_received(), 1000);
  EXPECT_EQ(board.received().size(), std::string("FWUP 200000\n").size() + 1000);
}

TEST(BoardSim, ThrottledBoardTakesTheImageAtItsRate) {
  BoardScript script;
  script.bytes_per_sec = 20000;
  BoardSim board(script);
  Port port(board.device_path());
  ASSERT_TRUE(port.write_all("FWUP 6000\n"));
  port.read_until("START\r\n", 2000);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(port.write_all(pattern(6000)));
  port.read_until("DONE\r\n", 5000);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  // 6000 bytes at 20000 bytes/s: never faster than the rate allows.
  EXPECT_GE(ms, 280);
  EXPECT_EQ(board.image_received(), 6000);
}

TEST(BoardSim, UnplugClosesThePortAndReplugComesBackOnTheSameLink) {
  std::atomic<bool> bootsel_seen = false;
  BoardScript script;
  std::atomic<BoardSim *> self = nullptr;
  script.on_iobootsel = [&] {
    bootsel_seen = true;
    self.load()->unplug();
  };
  BoardSim board(script);
  self = &board;
  const std::string first_pty = board.pty_path();
  {
    Port port(board.device_path());
    ASSERT_TRUE(port.write_all("IOBOOTSEL\r\n"));
    EXPECT_EQ(port.read_until("BOOTSEL\r\n", 2000), "BOOTSEL\r\n");
    // The hook pulled the board off the bus: the program's port hangs up.
    char c;
    for (int i = 0; i < 100 && access(board.device_path().c_str(), F_OK) == 0; ++i)
      usleep(10000);
    EXPECT_NE(access(board.device_path().c_str(), F_OK), 0);
    pollfd p{port.fd, POLLIN, 0};
    poll(&p, 1, 1000);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
    EXPECT_LE(read(port.fd, &c, 1), 0);
  }
  EXPECT_TRUE(bootsel_seen);
  board.replug();
  EXPECT_EQ(access(board.device_path().c_str(), F_OK), 0);
  Port again(board.device_path());
  ASSERT_TRUE(board.wait_opens(2, 2000));
  ASSERT_TRUE(again.write_all("FWUP 1\nx"));
  EXPECT_EQ(again.read_until("DONE\r\n", 2000), "START\r\nDONE\r\n");
  EXPECT_EQ(board.received(), "IOBOOTSEL\r\nFWUP 1\nx");
}

TEST(BoardSim, UnescapesCommandLineText) {
  EXPECT_EQ(orvtest::board_unescape("A\\r\\n\\t\\x1b\\\\\\q\\x4"), std::string("A\r\n\t\x1b\\q") + "x4");
}

} // namespace
