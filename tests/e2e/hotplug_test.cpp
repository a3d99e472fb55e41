// The board leaves the bus during a screen update, and comes back or not:
// the program must end every run with the message that matches what
// happened, and never hang. Linux only: the simulated board removes its
// port's path and hangs up its terminal, which Wine does not turn into
// device events (the Windows watcher is tested with injected broadcasts).
#include "board_sim.h"
#include "firmware_gen.h"
#include "target.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using orvtest::BoardScript;
using orvtest::BoardSim;
using orvtest::PortSlot;
using orvtest::ProcessOptions;
using orvtest::ProcessResult;
using orvtest::Target;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kTransferring = "Transferring firmware to screen over RS485 (this takes a few minutes)...\n";
const std::string kFinalising = "Finalising and verifying on screen board...\n";
const std::string kSuccess = "Success: screen firmware updated. The screen board is rebooting.\n";
const std::string kStalled = "ERROR: Transfer stalled (screen board not responding?)\n";
constexpr auto kReconnectWait = 30000ms; // how long a send waits for the board to come back
constexpr auto kStallDrain = 1200ms;     // the stall report's read of the board's last words
const std::string kApplication = "  Application:   orvane-screen 1.4.2, built Mar  3 2025 10:21:07, ESP-IDF v5.1.2\n";
constexpr size_t kSize = 64 * 4096;
constexpr size_t kTakenBeforeStall = 3 * 4096;

std::string image_bytes(size_t n) {
  const orvtest::Bytes image = orvtest::esp_app_image_of_size(n);
  return std::string(image.begin(), image.end());
}

class Hotplug : public ::testing::Test {
protected:
  void SetUp() override {
    if (Target::get().wine())
      GTEST_SKIP() << "Wine raises no device events for a port that leaves; the Windows watcher is tested by "
                      "injected broadcasts";
    slot_ = std::make_unique<PortSlot>();
    char tmpl[] = "/tmp/orvup-hotplug-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    image_ = image_bytes(kSize);
    std::ofstream(dir_ + "/screen.bin", std::ios::binary) << image_;
  }
  void TearDown() override {
    if (!dir_.empty())
      std::filesystem::remove_all(dir_);
  }

  // Runs the update with --no-status while `meanwhile` acts on the board.
  ProcessResult update_meanwhile(BoardSim &board, const std::function<void()> &meanwhile) {
    slot_->point_at(board.device_path());
    auto done = std::async(std::launch::async, [&] {
      ProcessOptions opts;
      opts.cwd = dir_;
      opts.timeout_ms = 120000;
      return Target::get().run({"--screen-fw", "screen.bin", "--port", slot_->name(), "--no-status"}, opts);
    });
    meanwhile();
    ProcessResult r = done.get();
    ended_ = Clock::now();
    return r;
  }

  std::string header() const {
    return "orvup v1.00\nScreen firmware: screen.bin (" + std::to_string(kSize) + " bytes)\n" + kApplication +
           "I/O board port:  " + slot_->name() + "\n";
  }
  std::string command() const { return "FWUP " + std::to_string(kSize) + "\n"; }

  // The board takes a few pieces, then its relay stops and the program's
  // write is left waiting when the board leaves the bus.
  void leave_mid_transfer(BoardSim &board) {
    ASSERT_TRUE(board.wait_received(command().size() + kTakenBeforeStall, 20000));
    std::this_thread::sleep_for(300ms);
    board.unplug();
    unplugged_ = Clock::now();
  }

  std::string dir_;
  std::string image_;
  std::unique_ptr<PortSlot> slot_; // made once the test runs: under Wine it would hold a COM name for nothing
  Clock::time_point unplugged_{}, ended_{};
};

TEST_F(Hotplug, BoardThatNeverComesBackIsSaidToHaveLeftTheBus) {
  BoardScript script;
  script.stall_after = kTakenBeforeStall;
  BoardSim board(script);
  const ProcessResult r = update_meanwhile(board, [&] { leave_mid_transfer(board); });
  EXPECT_FALSE(r.timed_out) << "the run hung";
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header() + kTransferring + "\n");
  // What the port took counts as sent: at least what the board read before
  // its relay stopped.
  long sent = -1;
  EXPECT_EQ(std::sscanf(r.err.c_str(), "ERROR: The I/O board left the USB bus after %ld of ", &sent), 1) << r.err;
  EXPECT_GE(sent, static_cast<long>(kTakenBeforeStall));
  EXPECT_LT(sent, static_cast<long>(kSize));
  EXPECT_EQ(r.err, "ERROR: The I/O board left the USB bus after " + std::to_string(sent) + " of " +
                       std::to_string(kSize) +
                       " bytes of the image were sent. The screen board keeps its current firmware; reconnect the I/O "
                       "board and run the update again.\n");
  EXPECT_LT(ended_ - unplugged_, kReconnectWait + kStallDrain + 5s);
  EXPECT_EQ(board.opens(), 1);
  EXPECT_TRUE(board.received() == (command() + image_).substr(0, command().size() + kTakenBeforeStall));
}

// The board is back a moment later, while the program reads what the board
// said after the failed write: it reads it from the reopened port.
struct ReturnCase {
  const char *name;
  std::string says_when_back;
  std::string err;
};
[[maybe_unused]] void PrintTo(const ReturnCase &c, std::ostream *os) { *os << c.name; }

class HotplugReturn : public Hotplug, public ::testing::WithParamInterface<ReturnCase> {};

TEST_P(HotplugReturn, BoardBackDuringTheStallReportIsHeardOnItsNewPort) {
  const ReturnCase &c = GetParam();
  BoardScript script;
  script.stall_after = kTakenBeforeStall;
  // A board just back on the bus says these once the program has it open;
  // at the first open they are from before the run, and dropped.
  script.stale_lines = c.says_when_back;
  BoardSim board(script);
  bool configured_again = false;
  const ProcessResult r = update_meanwhile(board, [&] {
    leave_mid_transfer(board);
    std::this_thread::sleep_for(300ms);
    board.replug();
    configured_again = board.wait_configured(5000);
  });
  EXPECT_FALSE(r.timed_out) << "the run hung";
  // Set up at 115200 again proves the reopen; counting opens can miss one.
  EXPECT_TRUE(configured_again) << "the port was not opened and set up again";
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header() + kTransferring + "\n");
  EXPECT_EQ(r.err, c.err);
  EXPECT_LT(ended_ - unplugged_, kStallDrain + 5s);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HotplugReturn,
    ::testing::Values(ReturnCase{"Silent", "", kStalled},
                      ReturnCase{"SaysFail", "relay: restarted\r\nFAIL\r\n",
                                 "  [io] relay: restarted\n  [io] FAIL\nERROR: Transfer aborted by I/O board\n"}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

// Gone once the program has set the port up, back before the program's first
// command: the command waits for the board and the whole update goes over
// the new port.
TEST_F(Hotplug, BoardBackBeforeTheCommandTakesTheWholeUpdate) {
  BoardSim board;
  double reopen_ms = -1;
  const ProcessResult r = update_meanwhile(board, [&] {
    ASSERT_TRUE(board.wait_configured(20000));
    board.unplug();
    std::this_thread::sleep_for(500ms);
    const auto back = Clock::now();
    board.replug();
    // The new terminal starts at another speed: 115200 means the program
    // opened and set it up. (Counting opens can miss one this quick.)
    if (board.wait_configured(5000))
      reopen_ms = std::chrono::duration<double, std::milli>(Clock::now() - back).count();
  });
  std::printf("port opened again %.1f ms after its path came back (as the simulated board saw it)\n", reopen_ms);
  EXPECT_GE(reopen_ms, 0) << "the port was not opened again";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, header() + kTransferring + kFinalising + kSuccess);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(board.received() == command() + image_) << "the board got " << board.received().size() << " bytes";
}

} // namespace
