// Started with a standard stream closed (`orvup ... >&-`, a service manager
// that gives it none), the program must not let the board's port take the
// stream's place: its own text would go into the firmware stream.
#include "board_sim.h"
#include "target.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using orvtest::BoardSim;
using orvtest::ProcessResult;
using orvtest::Target;

namespace {

TEST(ClosedStreams, TheBoardGetsExactlyTheImage) {
  if (Target::get().wine())
    GTEST_SKIP() << "the Windows program's port is a handle, never a C descriptor";
  char tmpl[] = "/tmp/orvup-stdio-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  std::string image(20011, '\0');
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<char>(i * 31 + 7);
  std::ofstream(dir + "/screen.bin", std::ios::binary) << image;
  for (const char *closing : {">&-", "2>&-", ">&- 2>&-", "<&- >&- 2>&-"}) {
    SCOPED_TRACE(closing);
    BoardSim board;
    const ProcessResult r =
        orvtest::run_process({"sh", "-c", std::string("exec \"$0\" \"$@\" ") + closing, Target::get().exe(),
                              "--screen-fw", dir + "/screen.bin", "--port", board.device_path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(board.received() == "FWUP 20011\n" + image)
        << "the board got " << board.received().size() << " bytes for a " << image.size() << "-byte image";
  }
  std::filesystem::remove_all(dir);
}

} // namespace
