// Board lines end to end: what the board says is judged as the words it
// sent, never as what a reader of the text would stop at.
#include "board_sim.h"
#include "firmware_gen.h"
#include "target.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using orvtest::BoardSim;
using orvtest::ProcessResult;
using orvtest::Target;

namespace {

// A board line with a NUL inside is free text: "DONE" NUL "..." is not the
// word DONE, and the run must not call it a success.
TEST(BoardText, ALineWithANulInsideIsNoVerdict) {
  char tmpl[] = "/tmp/orvup-nul-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const orvtest::Bytes image = orvtest::esp_app_image_of_size(5000);
  std::ofstream(dir + "/screen.bin", std::ios::binary) << std::string(image.begin(), image.end());
  orvtest::BoardScript script;
  script.final_answer = std::string("DONE\0 not really\r\nFAIL\r\n", 24);
  BoardSim board(script);
  orvtest::PortSlot slot;
  slot.point_at(board.device_path());
  orvtest::ProcessOptions opts;
  opts.cwd = dir;
  const ProcessResult r = Target::get().run({"--screen-fw", "screen.bin", "--port", slot.name(), "--no-status"}, opts);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "ERROR: Update failed on screen board ('FAIL')\n");
  std::filesystem::remove_all(dir);
}

} // namespace
