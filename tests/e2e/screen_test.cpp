// The screen firmware update as a technician runs it, against the simulated
// I/O board: what the program prints on each stream, its exit status, and
// the exact bytes it put on the wire.
#include "board_sim.h"
#include "firmware_gen.h"
#include "target.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <ostream>
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

const std::string kTransferring = "Transferring firmware to screen over RS485 (this takes a few minutes)...\n";
const std::string kFinalising = "Finalising and verifying on screen board...\n";
const std::string kSuccess = "Success: screen firmware updated. The screen board is rebooting.\n";
const std::string kNoResponse =
    "ERROR: No response from I/O board. Is it running firmware with the update bridge, and is the port correct?\n";
const std::string kStalled = "ERROR: Transfer stalled (screen board not responding?)\n";
constexpr int kSlotBytes = 6291456;

// What a board that logs heavily says every millisecond: more lines than
// the program takes in while it has nothing else to do (one per pause of the
// link's read), so they pile up for as long as the board goes on.
const std::string kHeartbeats = "log: heartbeat\r\nlog: heartbeat\r\n";

// The line under "Screen firmware:" for the test generators' application.
const std::string kApplication = "  Application:   orvane-screen 1.4.2, built Mar  3 2025 10:21:07, ESP-IDF v5.1.2\n";

// A valid application image of n bytes (at least 512). Its code and data
// include everything a text-mode stream would mangle: line ends, NUL, Ctrl-Z.
std::string image_bytes(size_t n) {
  const orvtest::Bytes image = orvtest::esp_app_image_of_size(n);
  return std::string(image.begin(), image.end());
}

// A folder per test, the program's working directory, so the firmware file
// is named the same way natively and under Wine.
class ScreenUpdate : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orvup-screen-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string make_image(size_t n, const std::string &name = "screen.bin") {
    image_ = image_bytes(n);
    std::ofstream(dir_ + "/" + name, std::ios::binary) << image_;
    return name;
  }

  ProcessResult run(const std::vector<std::string> &args, int timeout_ms = 60000, bool merge_err = false) {
    ProcessOptions opts;
    opts.cwd = dir_;
    opts.timeout_ms = timeout_ms;
    opts.merge_err = merge_err;
    return Target::get().run(args, opts);
  }

  // Both streams into one, as in a technician's log: what comes first.
  std::string run_logged(const std::vector<std::string> &args) { return run(args, 60000, true).out; }

  ProcessResult update(BoardSim &board, const std::string &file, bool no_status = false, int timeout_ms = 60000) {
    slot_.point_at(board.device_path());
    std::vector<std::string> args = {"--screen-fw", file, "--port", slot_.name()};
    if (no_status)
      args.push_back("--no-status");
    return run(args, timeout_ms);
  }

  std::string header(const std::string &file, size_t size) {
    return "orvup v1.00\nScreen firmware: " + file + " (" + std::to_string(size) + " bytes)\n" + kApplication +
           "I/O board port:  " + slot_.name() + "\n";
  }

  std::string command(size_t size) { return "FWUP " + std::to_string(size) + "\n"; }

  // Runs the update in the background while `meanwhile` acts on the board.
  ProcessResult update_meanwhile(BoardSim &board, const std::string &file, bool no_status,
                                 const std::function<void()> &meanwhile) {
    slot_.point_at(board.device_path());
    auto done = std::async(std::launch::async, [&] { return update(board, file, no_status, 240000); });
    meanwhile();
    return done.get();
  }

  // Once the board has stopped reading and the program's write is blocked,
  // the board says `lines`, which the program can read only after its write
  // gave up.
  void say_once_stalled(BoardSim &board, size_t size, size_t taken, const std::string &lines) {
    EXPECT_TRUE(board.wait_received(command(size).size() + taken, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    board.send(lines);
  }

  std::string dir_;
  std::string image_;
  PortSlot slot_;
};

// Checks the progress lines, one per piece of 4096 bytes, each beginning
// with a carriage return. The rate depends on the machine's pace and is only
// checked for its shape; everything else is exact. Under Wine a line the
// console has not taken within 50 ms is skipped (the next says the same and
// more), so there a line may stand for a later piece; the last is always
// there.
void expect_progress(const std::string &text, size_t size, size_t pieces) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    ASSERT_EQ(text[at], '\r') << "progress line without its carriage return at " << at;
    const size_t next = text.find('\r', at + 1);
    lines.push_back(text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
    at = next == std::string::npos ? text.size() : next;
  }
  const bool may_skip = Target::get().wine();
  if (!may_skip) {
    ASSERT_EQ(lines.size(), pieces);
  }
  ASSERT_LE(lines.size(), pieces);
  ASSERT_FALSE(lines.empty());
  char want[128];
  auto expect_piece = [&](size_t piece) {
    const size_t sent = std::min(size, (piece + 1) * 4096);
    std::snprintf(want, sizeof want, "  Sending: %6.2f%%  (%zu / %zu KiB)  ", 100.0 * static_cast<double>(sent) / size,
                  sent / 1024, size / 1024);
  };
  size_t i = 0;
  for (size_t n = 0; n < lines.size(); ++n, ++i) {
    const std::string &line = lines[n];
    expect_piece(i);
    const bool last = n + 1 == lines.size();
    while (may_skip && i + 1 < pieces && (last || line.compare(0, std::strlen(want), want) != 0))
      expect_piece(++i);
    ASSERT_EQ(line.substr(0, std::strlen(want)), want) << "piece " << i;
    const std::string rate = line.substr(std::strlen(want));
    const size_t dot = rate.find('.');
    ASSERT_NE(dot, std::string::npos) << rate;
    ASSERT_GT(dot, 0u) << rate;
    EXPECT_EQ(rate.find_first_not_of("0123456789"), dot) << rate;
    EXPECT_EQ(rate.substr(dot + 2), " KiB/s   ") << rate;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(rate[dot + 1]))) << rate;
  }
  EXPECT_NE(lines.back().find("100.00%"), std::string::npos);
}

// --- The whole update ---

struct SizeCase {
  size_t size;
  bool no_status;
};
[[maybe_unused]] void PrintTo(const SizeCase &c, std::ostream *os) {
  *os << c.size << (c.no_status ? " bytes, no status" : " bytes");
}

class ScreenSizes : public ScreenUpdate, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ScreenSizes, SendsTheImageWholeAndSucceeds) {
  const SizeCase c = GetParam();
  const std::string file = make_image(c.size);
  BoardSim board;
  const ProcessResult r = update(board, file, c.no_status, 120000);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string head = header(file, c.size) + kTransferring;
  ASSERT_EQ(r.out.substr(0, head.size()), head);
  const std::string tail = (c.no_status ? "" : "\n") + kFinalising + kSuccess;
  ASSERT_GE(r.out.size(), head.size() + tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  const std::string progress = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
  if (c.no_status)
    EXPECT_EQ(progress, "");
  else
    expect_progress(progress, c.size, (c.size + 4095) / 4096);
  // The command and the image, byte for byte, and nothing else.
  const std::string wire = board.received();
  EXPECT_EQ(wire.size(), command(c.size).size() + c.size);
  EXPECT_TRUE(wire == command(c.size) + image_) << "the bytes on the wire differ from the command and the image";
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScreenSizes,
                         ::testing::Values(SizeCase{1000, false}, SizeCase{4096, false}, SizeCase{4097, false},
                                           SizeCase{kSlotBytes, false}, SizeCase{4097, true}),
                         [](const auto &param_info) {
                           return std::to_string(param_info.param.size) +
                                  (param_info.param.no_status ? "_NoStatus" : "");
                         });

// --- Refused before the port is opened ---

TEST_F(ScreenUpdate, RefusesUnreadableFilesWithoutOpeningThePort) {
  BoardSim board;
  std::ofstream(dir_ + "/empty.bin").close();
  std::filesystem::create_directory(dir_ + "/folder.bin");
  for (const std::string file : {"empty.bin", "missing.bin", "folder.bin"}) {
    const ProcessResult r = update(board, file);
    EXPECT_EQ(r.status, 255) << file;
    EXPECT_EQ(r.out, "orvup v1.00\n") << file;
    EXPECT_EQ(r.err, "ERROR: Unable to read firmware file '" + file + "'\n");
    EXPECT_EQ(run_logged({"--screen-fw", file, "--port", slot_.name()}),
              "orvup v1.00\nERROR: Unable to read firmware file '" + file + "'\n");
  }
  EXPECT_EQ(board.opens(), 0);
}

TEST_F(ScreenUpdate, ImagesTheScreenBoardWouldRejectAreRefusedWithoutOpeningThePort) {
  struct Row {
    std::string name;
    orvtest::Bytes bytes;
    std::string reason;
  };
  orvtest::EspImageRecipe s2 = orvtest::esp_app_spec();
  s2.chip_id = 2;
  orvtest::EspImageRecipe damaged = orvtest::esp_app_spec();
  const uint8_t checksum = orvtest::esp_image(damaged)[orvtest::esp_checksum_offset(damaged)];
  damaged.checksum_xor = 0x5a;
  char mismatch[64];
  std::snprintf(mismatch, sizeof mismatch, "checksum mismatch: stored 0x%02x, computed 0x%02x", checksum ^ 0x5a,
                checksum);
  const std::vector<Row> rows = {
      {"io.uf2", orvtest::uf2_file(orvtest::uf2_flash_blocks(4)),
       "it is a UF2 file, the I/O board's firmware; pass it with --io-fw"},
      {"s2.bin", orvtest::esp_image(s2),
       "it is built for the ESP32-S2 (chip id 2); the screen board is an ESP32 (chip id 0)"},
      {"damaged.bin", orvtest::esp_image(damaged), mismatch},
  };
  BoardSim board;
  for (const Row &row : rows) {
    std::ofstream(dir_ + "/" + row.name, std::ios::binary)
        .write(reinterpret_cast<const char *>(row.bytes.data()), static_cast<std::streamsize>(row.bytes.size()));
    const ProcessResult r = update(board, row.name);
    EXPECT_EQ(r.status, 255) << row.name;
    EXPECT_EQ(r.out, "orvup v1.00\n") << row.name;
    EXPECT_EQ(r.err, "ERROR: '" + row.name + "' is not a valid ESP32 application image: " + row.reason + "\n");
  }
  EXPECT_EQ(board.opens(), 0);
  EXPECT_EQ(board.received(), "");
}

TEST_F(ScreenUpdate, FileThatIsNoPlainImageIsSentUnchangedWithAWarning) {
  // A pre-encrypted image does not start with 0xE9: its bytes are not ours
  // to judge.
  std::string encrypted = image_bytes(5000);
  encrypted[0] = '\x3c';
  std::ofstream(dir_ + "/enc.bin", std::ios::binary) << encrypted;
  BoardSim board;
  const ProcessResult r = update(board, "enc.bin", true);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "WARNING: 'enc.bin' does not start with the ESP32 image byte 0xE9 (it starts with 0x3c); sending it "
                   "unchanged, as for a pre-encrypted image\n");
  EXPECT_EQ(r.out, "orvup v1.00\nScreen firmware: enc.bin (5000 bytes)\nI/O board port:  " + slot_.name() + "\n" +
                       kTransferring + kFinalising + kSuccess);
  EXPECT_TRUE(board.received() == command(5000) + encrypted);
}

TEST_F(ScreenUpdate, RefusesAnImageLargerThanTheAppSlot) {
  const std::string file = make_image(kSlotBytes + 1);
  BoardSim board;
  const ProcessResult r = update(board, file);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "orvup v1.00\n");
  EXPECT_EQ(r.err, "ERROR: Firmware image is 6291457 bytes, larger than the 6291456 byte app slot\n");
  EXPECT_EQ(run_logged({"--screen-fw", file, "--port", slot_.name()}),
            "orvup v1.00\nERROR: Firmware image is 6291457 bytes, larger than the 6291456 byte app slot\n");
  EXPECT_EQ(board.opens(), 0);
}

TEST_F(ScreenUpdate, HugeSparseImageIsRefusedBySizeNotTakenAsSmaller) {
  // 4 GiB and one byte: a size cut to 32 bits would read as one byte.
  const std::string file = "huge.bin";
  std::ofstream(dir_ + "/" + file).close();
  std::filesystem::resize_file(dir_ + "/" + file, (1ULL << 32) + 1);
  BoardSim board;
  const ProcessResult r = update(board, file);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "orvup v1.00\n");
  EXPECT_EQ(r.err, "ERROR: Firmware image is 4294967297 bytes, larger than the 6291456 byte app slot\n");
  EXPECT_EQ(board.opens(), 0);
}

TEST_F(ScreenUpdate, PortThatCannotBeOpenedEndsTheRun) {
  const std::string file = make_image(1000);
  std::string port;
  if (Target::get().wine()) {
    slot_.point_at(dir_ + "/no-such-port"); // a COM name with nothing behind it
    port = slot_.name();
  } else {
    port = dir_ + "/no-such-port";
  }
  const ProcessResult r = run({"--screen-fw", file, "--port", port});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "orvup v1.00\nScreen firmware: " + file + " (1000 bytes)\n" + kApplication +
                       "I/O board port:  " + port + "\n");
  // Wine opens a COM name with nothing behind it and fails on its settings.
  const std::string failed = "ERROR: Unable to open serial port " + port + "\n";
  // The last line says why, in the system's own terms under Wine.
  const size_t why = r.err.rfind('\n', r.err.size() - 2) + 1;
  const std::string errors = r.err.substr(0, why);
  if (Target::get().wine() && errors != failed)
    EXPECT_EQ(errors, "ERROR: Error getting state\n" + failed);
  else
    EXPECT_EQ(errors, failed);
  if (!Target::get().wine()) {
    EXPECT_EQ(r.err.substr(why).rfind("  No such port: " + port + " does not exist. ", 0), 0u) << r.err;
  }
  // In one log the link's reason follows the lines that name the file and port.
  EXPECT_EQ(run_logged({"--screen-fw", file, "--port", port}), r.out + r.err);
}

// --- The handshake ---

TEST_F(ScreenUpdate, StaleLinesFromBeforeTheRunAreDiscarded) {
  // Even a failure word: it belongs to an earlier update.
  BoardScript script;
  script.stale_lines = "FAIL\r\nDONE\r\nbridge ready\r\n";
  const std::string file = make_image(1000);
  BoardSim board(script);
  const ProcessResult r = update(board, file, true);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, header(file, 1000) + kTransferring + kFinalising + kSuccess);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board.received(), command(1000) + image_);
}

TEST_F(ScreenUpdate, HandshakeIgnoresDoneAndFreeTextUntilStart) {
  BoardScript script;
  script.fwup_answer = "DONE\r\nrelay: screen found\r\nSTART\r\n";
  const std::string file = make_image(5000);
  BoardSim board(script);
  const ProcessResult r = update(board, file, true);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, header(file, 5000) + kTransferring + kFinalising + kSuccess);
  EXPECT_EQ(r.err, "");
}

TEST_F(ScreenUpdate, BoardThatNeverStopsTalkingStillGetsTheCommand) {
  BoardScript script;
  script.fwup_answer_delay_ms = 300; // after the last of the chatter
  const std::string file = make_image(1000);
  BoardSim board(script);
  slot_.point_at(board.device_path());
  auto done = std::async(std::launch::async, [&] { return update(board, file, true, 30000); });
  const bool spoken_to = board.chatter_until_spoken_to(kHeartbeats);
  const ProcessResult r = done.get();
  EXPECT_TRUE(spoken_to) << "the program kept reading the board's log and never sent its command";
  EXPECT_FALSE(r.timed_out);
  // The log is free text, dropped before and during the handshake. On a
  // busy machine the board's START can lie behind more of it than the
  // handshake gets through in its 5 s; that run ends with its own message.
  if (r.status == 0) {
    EXPECT_EQ(r.out, header(file, 1000) + kTransferring + kFinalising + kSuccess);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(board.received(), command(1000) + image_);
  } else {
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, header(file, 1000));
    EXPECT_EQ(r.err, kNoResponse);
    EXPECT_EQ(board.received(), command(1000));
  }
}

class HandshakeFailure : public ScreenUpdate, public ::testing::WithParamInterface<const char *> {};

TEST_P(HandshakeFailure, FailureWordEndsTheRunAtOnce) {
  BoardScript script;
  script.fwup_answer = std::string("free text\r\n") + GetParam() + "\r\nSTART\r\n";
  const std::string file = make_image(1000);
  BoardSim board(script);
  const ProcessResult r = update(board, file);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header(file, 1000));
  EXPECT_EQ(r.err, std::string("ERROR: I/O board reported '") + GetParam() + "'\n");
  EXPECT_EQ(board.received(), command(1000)); // not one image byte
}

INSTANTIATE_TEST_SUITE_P(Words, HandshakeFailure, ::testing::Values("FAIL", "TIMEOUT", "NORESP"));

// Both wait the full 5 s, so each is a test of its own and CTest runs them side by side.
TEST_F(ScreenUpdate, SilentBoardGivesNoResponseAfterFiveSeconds) {
  BoardScript script;
  script.fwup_answer = "";
  const std::string file = make_image(1000);
  BoardSim board(script);
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = update(board, file);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header(file, 1000));
  EXPECT_EQ(r.err, kNoResponse);
  EXPECT_EQ(board.received(), command(1000));
}

TEST_F(ScreenUpdate, StartMustBeTheWholeLineInCapitals) {
  BoardScript script;
  script.fwup_answer = "start\r\nSTART!\r\n START\r\nSTARTED\r\nSTAR\r\n";
  const std::string file = make_image(1000);
  BoardSim board(script);
  const ProcessResult r = update(board, file);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header(file, 1000));
  EXPECT_EQ(r.err, kNoResponse);
  EXPECT_EQ(board.received(), command(1000));
}

// --- Board lines during the transfer ---

TEST_F(ScreenUpdate, BoardLinesAreShownOnePerPieceOnStandardError) {
  BoardScript script;
  script.bytes_per_sec = 200000; // so the lines arrive while pieces are still going out
  // "DONE" during the transfer is a board line like any other; the final
  // wait needs a verdict of its own, and here it is a failure.
  script.lines_at = {{4096, "relay 10%\r\nDONE\r\n\x1b[2Jwiped\x07!\r\n"}};
  script.final_answer = "verifying\r\nFAIL\r\n";
  const std::string file = make_image(20 * 4096);
  BoardSim board(script);
  const ProcessResult r = update(board, file, true);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header(file, 20 * 4096) + kTransferring + kFinalising);
  EXPECT_EQ(r.err, "\n  [io] relay 10%\n"
                   "\n  [io] DONE\n"
                   "\n  [io] \\x1b[2Jwiped\\x07!\n"
                   "ERROR: Update failed on screen board ('FAIL')\n");
  EXPECT_TRUE(board.received() == command(20 * 4096) + image_);
}

TEST_F(ScreenUpdate, FailureWordDuringTheTransferAbortsIt) {
  BoardScript script;
  script.bytes_per_sec = 100000;
  script.lines_at = {{8192, "NORESP\r\n"}};
  const size_t size = 100 * 4096;
  const std::string file = make_image(size);
  BoardSim board(script);
  const ProcessResult r = update(board, file);
  EXPECT_EQ(r.status, 255);
  const std::string head = header(file, size) + kTransferring;
  ASSERT_EQ(r.out.substr(0, head.size()), head);
  ASSERT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.out.find('\n', head.size()), r.out.size() - 1); // progress lines, then one line break
  EXPECT_EQ(r.err, "ERROR: Transfer aborted by I/O board ('NORESP')\n");
  const std::string wire = board.received();
  ASSERT_GE(wire.size(), command(size).size() + 8192); // the abort may follow the very piece that drew it
  EXPECT_LT(wire.size(), command(size).size() + size); // the rest of the image was never sent
  EXPECT_TRUE(wire == (command(size) + image_).substr(0, wire.size()));
}

// --- After the last byte ---

class FinalVerdict : public ScreenUpdate, public ::testing::WithParamInterface<const char *> {};

TEST_P(FinalVerdict, FailureWordAfterTheLastByteFailsTheUpdate) {
  BoardScript script;
  script.final_answer = std::string("checking image\r\n") + GetParam() + "\r\nDONE\r\n";
  const std::string file = make_image(4097);
  BoardSim board(script);
  const ProcessResult r = update(board, file, true);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header(file, 4097) + kTransferring + kFinalising);
  EXPECT_EQ(r.err, std::string("ERROR: Update failed on screen board ('") + GetParam() + "')\n");
}

INSTANTIATE_TEST_SUITE_P(Words, FinalVerdict, ::testing::Values("FAIL", "TIMEOUT", "NORESP"));

TEST_F(ScreenUpdate, NoVerdictWithinThirtySecondsTimesOut) {
  if (!Target::get().wine())
    GTEST_SKIP()
        << "natively: unit.UpdateWaits.NoVerdictWithinThirtySecondsTimesOut, in the test process on a fast clock";
  BoardScript script;
  script.final_answer = "still verifying\r\n";
  const std::string file = make_image(4097);
  BoardSim board(script);
  const ProcessResult r = update(board, file, false, 90000);
  EXPECT_EQ(r.status, 255);
  const std::string tail = "\n" + kFinalising;
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(r.err, "ERROR: Timed out waiting for completion\n");
  EXPECT_TRUE(board.received() == command(4097) + image_);
}

// --- A board that stops taking bytes ---

TEST_F(ScreenUpdate, StalledBoardEndsTheTransferAfterTheWriteTimeOut) {
  if (!Target::get().wine())
    GTEST_SKIP() << "natively: unit.UpdateWaits.StalledBoardEndsTheTransferAfterTheWriteTimeOut, in the test process "
                    "on a fast clock";
  BoardScript script;
  script.stall_after = 3 * 4096;
  const size_t size = 64 * 4096;
  const std::string file = make_image(size);
  BoardSim board(script);
  const ProcessResult r =
      update_meanwhile(board, file, true, [&] { say_once_stalled(board, size, 3 * 4096, "relay: screen silent\r\n"); });
  EXPECT_EQ(r.status, 255);
  // The line break ends the run's output even without a progress line.
  EXPECT_EQ(r.out, header(file, size) + kTransferring + "\n");
  EXPECT_EQ(r.err, "  [io] relay: screen silent\n" + kStalled);
  EXPECT_TRUE(board.received() == (command(size) + image_).substr(0, command(size).size() + 3 * 4096));
}

TEST_F(ScreenUpdate, StalledBoardThatReportsAFailureAbortsTheTransfer) {
  if (!Target::get().wine())
    GTEST_SKIP() << "natively: unit.UpdateWaits.StalledBoardThatReportsAFailureAbortsTheTransfer, in the test process "
                    "on a fast clock";
  BoardScript script;
  script.stall_after = 2 * 4096;
  const size_t size = 64 * 4096;
  const std::string file = make_image(size);
  BoardSim board(script);
  const ProcessResult r = update_meanwhile(board, file, false, [&] {
    say_once_stalled(board, size, 2 * 4096, "relay lost\r\nTIMEOUT\r\nrelay: giving up\r\n");
  });
  EXPECT_EQ(r.status, 255);
  const std::string head = header(file, size) + kTransferring;
  ASSERT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_EQ(r.out.back(), '\n');
  // Every line of the drain is shown, the failure word and what follows it.
  EXPECT_EQ(r.err,
            "  [io] relay lost\n  [io] TIMEOUT\n  [io] relay: giving up\nERROR: Transfer aborted by I/O board\n");
}

// --- The board leaves the bus before the command ---

TEST_F(ScreenUpdate, BoardGoneBeforeTheCommandFailsToSendIt) {
  if (!Target::get().wine())
    GTEST_SKIP()
        << "natively: unit.UpdateWaits.BoardGoneBeforeTheCommandFailsToSendIt, in the test process on a fast clock";
  const std::string file = make_image(1000);
  BoardSim board;
  const ProcessResult r = update_meanwhile(board, file, false, [&] {
    // Gone after the program set the port up, before its 200 ms settle ends.
    EXPECT_TRUE(board.wait_configured(20000));
    board.unplug();
  });
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header(file, 1000));
  EXPECT_EQ(r.err, "ERROR: Failed to send update command\n");
  EXPECT_EQ(board.received(), "");
}

// --- A board that talks all through the transfer ---

// A bridge that logs (or echoes) steadily and takes no image byte while its
// own output is backed up: a program that takes its words more slowly than
// it says them would stall it. The transfer must go through, with the lines
// shown one per piece and, when there are too many to show, one warning.
TEST_F(ScreenUpdate, ATalkativeBoardTakesTheWholeImage) {
  const std::string log_line = "log: relay frame ok, 4096 bytes forwarded";
  BoardScript script;
  script.bytes_per_sec = 46080; // as fast as the RS485 relay takes it
  script.chatter_bytes_per_sec = 20000;
  script.chatter = log_line + "\r\n";
  const size_t size = 64 * 4096;
  const std::string file = make_image(size);
  BoardSim board(script);
  const ProcessResult r = update(board, file, true, 120000);
  EXPECT_EQ(r.status, 0) << r.err.substr(r.err.size() > 300 ? r.err.size() - 300 : 0);
  EXPECT_EQ(r.out, header(file, size) + kTransferring + kFinalising + kSuccess);
  EXPECT_TRUE(board.received() == command(size) + image_) << "the board got " << board.received().size() << " bytes";
  // Standard error holds the board's lines and at most one warning.
  int shown = 0, warnings = 0;
  size_t at = 0;
  for (size_t end; (end = r.err.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = r.err.substr(at, end - at);
    if (line == "  [io] " + log_line)
      ++shown;
    else if (line.rfind("WARNING: The I/O board sent text faster than it was taken; ", 0) == 0)
      ++warnings;
    else
      EXPECT_EQ(line, "") << "unexpected line on standard error";
  }
  EXPECT_EQ(at, r.err.size());
  EXPECT_GT(shown, 0);
  EXPECT_LE(warnings, 1);
}

// --- The board leaves the bus for good during the transfer ---

TEST_F(ScreenUpdate, BoardGoneForGoodMidTransferIsSaidToHaveLeftTheBus) {
  BoardScript script;
  script.bytes_per_sec = 46080;
  const size_t size = 64 * 4096;
  const std::string file = make_image(size);
  BoardSim board(script);
  const ProcessResult r = update_meanwhile(board, file, true, [&] {
    EXPECT_TRUE(board.wait_received(command(size).size() + 8 * 4096, 20000));
    board.unplug();
  });
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header(file, size) + kTransferring + "\n");
  long sent = -1, total = -1;
  char rest[256] = "";
  EXPECT_EQ(std::sscanf(r.err.c_str(),
                        "ERROR: The I/O board left the USB bus after %ld of %ld bytes of the image were "
                        "sent. %255[^\n]",
                        &sent, &total, rest),
            3)
      << r.err;
  EXPECT_EQ(std::string(rest),
            "The screen board keeps its current firmware; reconnect the I/O board and run the update again.");
  EXPECT_EQ(total, static_cast<long>(size));
  // Everything the board took was sent; what the port took on top of it was
  // lost with the board.
  EXPECT_GE(sent, board.image_received());
  EXPECT_LT(sent, static_cast<long>(size));
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

} // namespace
