// The updates' long waits - a board that stops reading, a verdict or a drive
// that never comes, a board that leaves and never returns - run here inside
// the test process, against the simulated board on a real pseudo-terminal,
// with the updates' clock sped up once the run has reached the wait. Each
// outcome takes a second instead of half a minute or more; the end-to-end
// tests keep one real-time run of each under Wine.
#include "board_sim.h"
#include "options.h"
#include "speed_clock.h"
#include "support/firmware_gen.h"
#include "timer.h"
#include "update-io.h"
#include "update-screen.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>

using orvtest::BoardScript;
using orvtest::BoardSim;
using orvtest::SpeedClock;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kFast = 1000; // 30 s of the updates' time in 30 ms

using orvtest::Outcome;

const std::string kTransferring = "Transferring firmware to screen over RS485 (this takes a few minutes)...\n";
const std::string kFinalising = "Finalising and verifying on screen board...\n";

const std::string kApplication = "  Application:   orvane-screen 1.4.2, built Mar  3 2025 10:21:07, ESP-IDF v5.1.2\n";

std::string image_bytes(size_t n) {
  const orvtest::Bytes image = orvtest::esp_app_image_of_size(n);
  return std::string(image.begin(), image.end());
}

class UpdateWaits : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orvup-waits-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write_image(const std::string &name, const std::string &bytes) {
    image_ = bytes;
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  Outcome run(int (*action)(), const std::string &port, const std::function<void()> &meanwhile) {
    return orvtest::run_in_process(clock_, action, port, meanwhile);
  }

  Outcome screen_update(BoardSim &board, const std::string &path, bool no_status,
                        const std::function<void()> &meanwhile) {
    std::snprintf(options.screen_fw, sizeof options.screen_fw, "%s", path.c_str());
    options.no_status = no_status;
    return run(action_update_screen, board.device_path(), meanwhile);
  }

  std::string screen_header(const std::string &path, BoardSim &board) {
    return "Screen firmware: " + path + " (" + std::to_string(image_.size()) + " bytes)\n" + kApplication +
           "I/O board port:  " + board.device_path() + "\n";
  }
  std::string command() { return "FWUP " + std::to_string(image_.size()) + "\n"; }

  // The board has stopped reading and the program's write is held up; what
  // the board says now, the program reads only once its write gave up.
  void stall_then(BoardSim &board, size_t taken, const std::string &lines) {
    ASSERT_TRUE(board.wait_received(command().size() + taken, 20000));
    std::this_thread::sleep_for(300ms);
    board.send(lines);
    std::this_thread::sleep_for(50ms);
    clock_.speed_up(kFast);
  }

  std::string dir_;
  std::string image_;
  SpeedClock clock_;
};

TEST_F(UpdateWaits, StalledBoardEndsTheTransferAfterTheWriteTimeOut) {
  BoardScript script;
  script.stall_after = 3 * 4096;
  const std::string path = write_image("screen.bin", image_bytes(64 * 4096));
  BoardSim board(script);
  const Outcome r = screen_update(board, path, true, [&] { stall_then(board, 3 * 4096, "relay: screen silent\r\n"); });
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.out, screen_header(path, board) + kTransferring + "\n");
  EXPECT_EQ(r.err, "  [io] relay: screen silent\nERROR: Transfer stalled (screen board not responding?)\n");
  EXPECT_TRUE(board.received() == (command() + image_).substr(0, command().size() + 3 * 4096));
}

TEST_F(UpdateWaits, StalledBoardThatReportsAFailureAbortsTheTransfer) {
  BoardScript script;
  script.stall_after = 2 * 4096;
  const std::string path = write_image("screen.bin", image_bytes(64 * 4096));
  BoardSim board(script);
  const Outcome r = screen_update(
      board, path, false, [&] { stall_then(board, 2 * 4096, "relay lost\r\nTIMEOUT\r\nrelay: giving up\r\n"); });
  EXPECT_EQ(r.status, -1);
  const std::string head = screen_header(path, board) + kTransferring;
  ASSERT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_EQ(r.out.back(), '\n');
  // Every line of the drain is shown, the failure word and what follows it.
  EXPECT_EQ(r.err,
            "  [io] relay lost\n  [io] TIMEOUT\n  [io] relay: giving up\nERROR: Transfer aborted by I/O board\n");
}

TEST_F(UpdateWaits, NoVerdictWithinThirtySecondsTimesOut) {
  BoardScript script;
  script.final_answer = "still verifying\r\n";
  const std::string path = write_image("screen.bin", image_bytes(4097));
  BoardSim board(script);
  const Outcome r = screen_update(board, path, false, [&] {
    ASSERT_TRUE(board.wait_received(command().size() + image_.size(), 20000));
    clock_.speed_up(kFast);
  });
  EXPECT_EQ(r.status, -1);
  const std::string tail = "\n" + kFinalising;
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(r.err, "ERROR: Timed out waiting for completion\n");
  EXPECT_TRUE(board.received() == command() + image_);
}

TEST_F(UpdateWaits, BoardGoneBeforeTheCommandFailsToSendIt) {
  const std::string path = write_image("screen.bin", image_bytes(1000));
  BoardSim board;
  const std::string port = board.device_path();
  const Outcome r = screen_update(board, path, false, [&] {
    // Gone after the program set the port up, before its 200 ms settle
    // ends; the send then waits the 30 s a board gets to come back.
    ASSERT_TRUE(board.wait_configured(20000));
    board.unplug();
    std::this_thread::sleep_for(100ms);
    clock_.speed_up(kFast);
  });
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.out, "Screen firmware: " + path + " (1000 bytes)\n" + kApplication + "I/O board port:  " + port + "\n");
  EXPECT_EQ(r.err, "ERROR: Failed to send update command\n");
  EXPECT_EQ(board.received(), "");
}

TEST_F(UpdateWaits, NoDriveWithinThirtySecondsIsAnError) {
  // A plain folder named like the drive is not a drive.
  fs::create_directories(dir_ + "/media/RPI-RP2");
  const orvtest::Bytes uf2 = orvtest::uf2_file(orvtest::uf2_flash_blocks(1));
  const std::string path = write_image("fw.uf2", std::string(uf2.begin(), uf2.end()));
  std::snprintf(options.io_fw, sizeof options.io_fw, "%s", path.c_str());
  BoardSim board;
  const std::string port = board.device_path();
  const Outcome r = run(action_update_io, port, [&] {
    ASSERT_TRUE(board.wait_received(std::string("IOBOOTSEL\n").size(), 20000));
    std::this_thread::sleep_for(100ms);
    clock_.speed_up(kFast);
  });
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.out, "I/O firmware:   " + path +
                       " (512 bytes)\n  UF2 image:    1 block for flash, 0x10000000-0x10000100\n" + "I/O board port: " +
                       port + "\nRebooting I/O board into BOOTSEL...\nWaiting for the RPI-RP2 drive...\n");
  EXPECT_EQ(r.err, "ERROR: The RPI-RP2 drive did not appear. Is the I/O board connected and running firmware new "
                   "enough to accept the reboot command? (Its USB drive must auto-mount.)\n");
  EXPECT_TRUE(fs::is_empty(dir_ + "/media/RPI-RP2"));
}

} // namespace
