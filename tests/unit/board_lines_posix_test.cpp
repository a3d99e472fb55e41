// The update actions' waits on board lines, over a pseudo-terminal whose
// master side plays the board.
#include "board-lines.h"
#include "serial.h"
#include "timer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <pty.h>
#include <string>
#include <unistd.h>

namespace {

int is_start(const char *line) { return std::strcmp(line, "START") == 0 ? 7 : 0; }
int any_line(const char *) { return 1; }
int full_length_line(const char *line) { return std::strlen(line) == 255 ? 1 : 0; }

class BoardLines : public testing::Test {
protected:
  void SetUp() override {
    char name[256];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    ASSERT_TRUE(serial_init(&link_, name));
  }
  void TearDown() override {
    serial_free(&link_);
    close(master_);
    close(slave_);
  }
  void say(const std::string &bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // The next line within 5 s, or "<none>".
  std::string next_line() {
    char line[BOARD_LINE_SIZE] = "<none>";
    board_lines_wait(&link_, 5000, 5, any_line, line, BOARD_LINE_SIZE);
    return line;
  }

  serial_t link_{};
  int master_ = -1, slave_ = -1;
};

TEST_F(BoardLines, AWaitEndsAtTheFirstLineWithAVerdictAndLeavesTheRest) {
  say("DONE\r\nrelay log\r\nSTART\r\nFAIL\r\n");
  char line[BOARD_LINE_SIZE] = {};
  EXPECT_EQ(board_lines_wait(&link_, 5000, 5, is_start, line, BOARD_LINE_SIZE), 7);
  EXPECT_STREQ(line, "START");
  EXPECT_EQ(next_line(), "FAIL");
}

TEST_F(BoardLines, TheVerdictSeesTheWholeLineHoweverLittleTheCallerKeeps) {
  std::string longest(255, 'x');
  longest += '\n';
  say(longest);
  char line[8] = {};
  EXPECT_EQ(board_lines_wait(&link_, 5000, 5, full_length_line, line, sizeof line), 1);
  EXPECT_STREQ(line, "xxxxxxx");
}

TEST_F(BoardLines, AWaitWithoutAnAnswerEndsWhenItsTimeIsUp) {
  say("relay log\r\n");
  char line[BOARD_LINE_SIZE] = "untouched";
  const int32_t start = get_absolute_time();
  EXPECT_EQ(board_lines_wait(&link_, 150, 5, is_start, line, BOARD_LINE_SIZE), 0);
  EXPECT_TRUE(time_reached(start, 150));
  EXPECT_STREQ(line, "untouched");
  // One look finds nothing more, and pauses before it says so.
  const int32_t look = get_absolute_time();
  EXPECT_FALSE(board_line_take(&link_, line, BOARD_LINE_SIZE, 20));
  EXPECT_TRUE(time_reached(look, 20));
}

TEST_F(BoardLines, StaleLinesAreDroppedAndLaterOnesKept) {
  say("boot banner\r\nFAIL\r\nDONE\r\n");
  board_lines_drop_stale(&link_);
  say("BOOTSEL\r\n");
  EXPECT_EQ(next_line(), "BOOTSEL");
}

} // namespace
