// The serial link end to end: link-probe (tests/linkprobe), built from the
// same link code as orvup, drives a port onto the simulated I/O board,
// natively on the pseudo-terminal and under Wine through a mapped COM name.
#include "board_sim.h"
#include "target.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

using orvtest::BoardScript;
using orvtest::BoardSim;
using orvtest::PortSlot;
using orvtest::ProcessOptions;
using orvtest::ProcessResult;
using orvtest::Target;

namespace {

// The probe sits in the tests folder of the build that made the program
// under test.
ProcessResult probe(const std::vector<std::string> &args, int timeout_ms = 60000) {
  const Target &t = Target::get();
  const auto dir = std::filesystem::path(t.exe()).parent_path() / "tests";
  std::vector<std::string> argv;
  ProcessOptions opts;
  opts.timeout_ms = timeout_ms;
  if (t.wine()) {
    t.add_wine_env(opts);
    argv.push_back("wine");
    argv.push_back((dir / "link-probe.exe").string());
  } else {
    argv.push_back((dir / "link-probe").string());
  }
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult r = orvtest::run_process(argv, opts);
  if (t.wine()) {
    r.out = orvtest::crlf_to_lf(r.out);
    r.err = orvtest::crlf_to_lf(r.err);
  }
  return r;
}

// The probe's image bytes (link-probe.cpp, pattern_byte).
std::string pattern(long n) {
  std::string s(static_cast<size_t>(n), '\0');
  for (long i = 0; i < n; ++i)
    s[static_cast<size_t>(i)] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

// Standard error of a failed open: the errors, and the last line, which says why.
std::pair<std::string, std::string> split_reason(const std::string &err) {
  const size_t last = err.size() >= 2 ? err.rfind('\n', err.size() - 2) : std::string::npos;
  if (last == std::string::npos)
    return {"", err};
  return {err.substr(0, last + 1), err.substr(last + 1)};
}

bool has_line(const std::string &out, const std::string &line) { return out.find(line + "\n") != std::string::npos; }

TEST(Link, BytesArriveIntactAndBoardLinesComeOutFramed) {
  BoardScript script;
  script.lines_at = {
      {8192, "PROGRESS 8192\r\n"}, {20000, "noisy\xc3\xa9\r\n"}, {30000, "\r\n"}, {40000, "tab\there\r\n"}};
  script.final_delay_ms = 500; // after the probe's last piece, for its last step to take
  BoardSim board(script);
  PortSlot slot;
  slot.point_at(board.device_path());
  const long n = 50000;
  const ProcessResult r = probe({slot.name(), "tx:FWUP 50000\\n", "expect:START:5000",
                                 "image:" + std::to_string(n) + ":4096", "expect:DONE:30000"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(board.received() == "FWUP 50000\n" + pattern(n))
      << "the board got " << board.received().size() << " bytes, not the " << n + 11 << " sent in order";
  for (const char *line : {"line: START", "line: PROGRESS 8192", "line: noisy", "line: ", "line: tab\\x09here",
                           "sent 50000", "line: DONE", "freed"})
    EXPECT_TRUE(has_line(r.out, line)) << line << " missing from:\n" << r.out;
}

TEST(Link, ABoardThatStopsReadingFailsTheSendInsteadOfHanging) {
  if (!orvtest::Target::get().wine())
    GTEST_SKIP() << "natively the same as unit.SerialPosix.ABoardThatStopsReadingFailsTheSend, which runs on a fast "
                    "clock";
  BoardScript script;
  script.stall_after = 10000;
  script.final_answer = "";
  BoardSim board(script);
  PortSlot slot;
  slot.point_at(board.device_path());
  // Small pieces keep each write's own time-out short (20 ms a byte plus
  // 1000 ms), so the 30-second no-progress limit decides.
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = probe({slot.name(), "tx:FWUP 1000000\\n", "expect:START:5000", "image:1000000:256"}, 120000);
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  EXPECT_FALSE(r.timed_out) << "the send hung";
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("send failed at "), std::string::npos) << r.out;
  EXPECT_TRUE(has_line(r.out, "freed")) << r.out;
  EXPECT_GE(took.count(), 29) << "gave up before the board had been silent for the limit";
  EXPECT_GE(board.image_received(), 10000);
}

TEST(Link, APortWithNothingBehindItDoesNotOpen) {
  PortSlot slot;
  slot.point_at("/nonexistent/orvup-board");
  const ProcessResult r = probe({slot.name(), "tx:FWUP 1\\n"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  // Windows refuses the open quietly. Wine opens a COM name whose link leads
  // nowhere and fails only when the state is read.
  const std::string unable = "ERROR: Unable to open serial port " + slot.name() + "\n";
  const auto [errors, reason] = split_reason(r.err);
  if (Target::get().wine())
    EXPECT_TRUE(errors == unable || errors == "ERROR: Error getting state\n" + unable) << r.err;
  else
    EXPECT_EQ(errors, unable);
  if (!Target::get().wine()) {
    EXPECT_EQ(reason.rfind("  No such port: /nonexistent/orvup-board does not exist. ", 0), 0u) << reason;
  }
  EXPECT_EQ(reason.substr(0, 2), "  ") << r.err;
  EXPECT_EQ(r.out, "freed\n");
}

} // namespace
