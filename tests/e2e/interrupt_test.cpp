// A run that is stopped or whose output goes nowhere: Ctrl-C and SIGTERM in
// the middle of a screen transfer, standard output or error to a pipe whose
// reader has gone, and standard output to a pipe that nobody reads. The
// I/O update's cases are in io_test.cpp, beside its drives.
#include "board_sim.h"
#include "firmware_gen.h"
#include "target.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using orvtest::BoardScript;
using orvtest::BoardSim;
using orvtest::OutputSink;
using orvtest::PortSlot;
using orvtest::ProcessOptions;
using orvtest::ProcessResult;
using orvtest::RunningProcess;
using orvtest::Target;

namespace {

const std::string kSuccess = "Success: screen firmware updated. The screen board is rebooting.\n";

class ScreenInterrupt : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orvup-intr-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A valid application image of n bytes in the test's folder.
  void make_image(size_t n) {
    const orvtest::Bytes image = orvtest::esp_app_image_of_size(n);
    size_ = n;
    std::ofstream(dir_ + "/screen.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(n));
  }

  std::unique_ptr<RunningProcess> start(BoardSim &board, OutputSink sink = OutputSink::read) {
    slot_.point_at(board.device_path());
    ProcessOptions opts;
    opts.cwd = dir_;
    return Target::get().start({"--screen-fw", "screen.bin", "--port", slot_.name()}, opts, sink);
  }

  static ProcessResult finish(RunningProcess &p, int timeout_ms = 60000) {
    ProcessResult r = p.finish(timeout_ms);
    if (Target::get().wine()) {
      r.out = orvtest::crlf_to_lf(r.out);
      r.err = orvtest::crlf_to_lf(r.err);
    }
    return r;
  }

  // Waits until the board has taken at least n image bytes.
  static bool wait_image(const BoardSim &board, long n, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (board.image_received() < n) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  std::string dir_;
  size_t size_ = 0;
  PortSlot slot_;
};

// The line that says where the transfer was cut, and the N in it.
long cut_at(const std::string &err, size_t size) {
  const std::string head = "ERROR: Interrupted: the transfer was cut at ";
  const std::string tail = " of " + std::to_string(size) +
                           " bytes\nThe screen board keeps its current firmware until a full update succeeds. Run "
                           "the update again.\n";
  if (err.compare(0, head.size(), head) != 0 || err.size() <= head.size() + tail.size() ||
      err.compare(err.size() - tail.size(), tail.size(), tail) != 0)
    return -1;
  return std::stol(err.substr(head.size(), err.size() - head.size() - tail.size()));
}

struct StopCase {
  const char *name;
  int sig;
  long stall_after; // -1: the board keeps taking bytes at the relay's pace
  int signals;      // how many in a row
};

class ScreenStop : public ScreenInterrupt, public ::testing::WithParamInterface<StopCase> {};

// Stopped mid-image, whether the board is taking bytes or has stopped
// reading (the write then waits on the port): the run ends at the stop,
// says how far the image got, and exits -1.
TEST_P(ScreenStop, MidTransferSaysWhereTheImageWasCutAndExitsMinusOne) {
  const StopCase &c = GetParam();
  if (Target::get().wine() && c.sig != SIGINT)
    GTEST_SKIP() << "Wine turns only SIGINT into a console event (Ctrl-C)";
  make_image(400000);
  BoardScript script;
  script.bytes_per_sec = 46080;
  script.stall_after = c.stall_after;
  BoardSim board(script);
  auto p = start(board);
  ASSERT_TRUE(p->started());
  ASSERT_TRUE(wait_image(board, 20000, 20000));
  if (c.stall_after >= 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // the write now waits on the port
  for (int i = 0; i < c.signals; ++i)
    p->signal(c.sig);
  // Not a speed claim: a board that takes nothing would end the run by
  // itself 30 s after its last byte; the stop must come well before that,
  // even when it waits for a write call on the port (up to 6 s on Windows).
  const bool ended_by_the_stop = !p->running_after(20000);
  const ProcessResult r = finish(*p);
  EXPECT_TRUE(ended_by_the_stop) << "still running 20 s after the signal";
  EXPECT_EQ(r.status, 255) << r.err;
  if (c.signals > 1)
    return; // the second one may end the run before anything is said
  const long n = cut_at(r.err, size_);
  ASSERT_GE(n, 0) << r.err;
  // Said once the port is closed: the board had every byte counted by then.
  EXPECT_GE(n, board.image_received());
  EXPECT_LT(n, static_cast<long>(size_));
  EXPECT_EQ(r.out.find("Success"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, ScreenStop,
                         ::testing::Values(StopCase{"CtrlC", SIGINT, -1, 1}, StopCase{"Term", SIGTERM, -1, 1},
                                           StopCase{"Hangup", SIGHUP, -1, 1},
                                           StopCase{"CtrlCWhileTheBoardTakesNothing", SIGINT, 30000, 1},
                                           StopCase{"SecondCtrlC", SIGINT, 30000, 2}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

struct PipeCase {
  const char *name;
  OutputSink sink;
  const char *final_answer;
  int status;
};

class ScreenClosedPipe : public ScreenInterrupt, public ::testing::WithParamInterface<PipeCase> {};

// `orvup ... | head -1`: the reader is gone, yet the update runs to its end
// and the exit status is its outcome.
TEST_P(ScreenClosedPipe, UpdateRunsToItsEndAndTheStatusTellsTheOutcome) {
  const PipeCase &c = GetParam();
  make_image(50000);
  BoardScript script;
  script.final_answer = c.final_answer;
  BoardSim board(script);
  auto p = start(board, c.sink);
  ASSERT_TRUE(p->started());
  const ProcessResult r = finish(*p);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_EQ(board.image_received(), 50000);
}

INSTANTIATE_TEST_SUITE_P(Streams, ScreenClosedPipe,
                         ::testing::Values(PipeCase{"StdoutSucceeds", OutputSink::closed, "DONE\r\n", 0},
                                           PipeCase{"StdoutFails", OutputSink::closed, "FAIL\r\n", 255},
                                           PipeCase{"StderrFails", OutputSink::err_closed, "FAIL\r\n", 255}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// A standard output that nobody reads (a stuck log shipper) fills after a
// few hundred progress lines; the transfer goes on all the same, and the
// run ends as soon as its last lines can be written.
TEST_F(ScreenInterrupt, StdoutThatIsNeverReadDoesNotHoldUpTheTransfer) {
  make_image(6291456);
  BoardSim board;
  auto p = start(board, OutputSink::held);
  ASSERT_TRUE(p->started());
  const bool all_taken = wait_image(board, static_cast<long>(size_), 120000);
  EXPECT_TRUE(all_taken) << "the board got " << board.image_received() << " of " << size_ << " bytes";
  p->drain();
  const ProcessResult r = finish(*p, 60000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_GE(r.out.size(), kSuccess.size());
  EXPECT_EQ(r.out.substr(r.out.size() - kSuccess.size()), kSuccess);
}

} // namespace
