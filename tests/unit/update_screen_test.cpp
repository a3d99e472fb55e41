// The screen update's parts that need no board: the status words, the
// progress line, board lines made safe for the terminal, and the file reader.
#include "functions.h"
#include "update-screen.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

TEST(ClassifyStatus, WholeLineCaseSensitive) {
  const struct {
    const char *line;
    int status;
  } cases[] = {
      {"DONE", 1},   {"FAIL", -1},    {"TIMEOUT", -1}, {"NORESP", -1}, {"done", 0},     {"DONE ", 0}, {" FAIL", 0},
      {"FAILED", 0}, {"TIMEOUTS", 0}, {"", 0},         {"START", 0},   {"NORESP\r", 0}, {"Fail", 0},  {"DON", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(classify_status(c.line), c.status) << '"' << c.line << '"';
}

std::string progress(int32_t sent, int32_t total, int32_t elapsed_ms) {
  char text[160];
  progress_text(text, sizeof text, sent, total, elapsed_ms);
  return text;
}

TEST(ProgressText, PercentKibAndRate) {
  EXPECT_EQ(progress(1048576, 2097152, 20000), "\r  Sending:  50.00%  (1024 / 2048 KiB)  51.2 KiB/s   ");
  EXPECT_EQ(progress(4097, 4097, 1000), "\r  Sending: 100.00%  (4 / 4 KiB)  4.0 KiB/s   ");
  EXPECT_EQ(progress(4096, 6291456, 100), "\r  Sending:   0.07%  (4 / 6144 KiB)  40.0 KiB/s   ");
  // No time yet (or a clock that went back): no rate rather than a division by zero.
  EXPECT_EQ(progress(1, 1, 0), "\r  Sending: 100.00%  (0 / 0 KiB)  0.0 KiB/s   ");
  EXPECT_EQ(progress(1, 1, -5), "\r  Sending: 100.00%  (0 / 0 KiB)  0.0 KiB/s   ");
  EXPECT_EQ(progress(0, 0, 10), "\r  Sending:   0.00%  (0 / 0 KiB)  0.0 KiB/s   ");
}

std::string shown(const std::string &line) {
  char out[BOARD_LINE_SHOWN_SIZE];
  board_line_escape(line.c_str(), out, sizeof out);
  return out;
}

TEST(BoardLineEscape, ControlsEscapedTextKept) {
  EXPECT_EQ(shown("relay 42%\tok"), "relay 42%\tok");
  EXPECT_EQ(shown("\x1b[2J\x1b]0;pwned\x07"), "\\x1b[2J\\x1b]0;pwned\\x07");
  EXPECT_EQ(shown("\rX"), "\\x0dX");
  EXPECT_EQ(shown("a\x7f"), "a\\x7f");
  EXPECT_EQ(shown("caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80"), "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80");
  // C1 controls: raw, and encoded as UTF-8 (U+009B is CSI to many terminals).
  EXPECT_EQ(shown("\x9b"
                  "2J"),
            "\\x9b2J");
  EXPECT_EQ(shown("\xc2\x9b"
                  "2J"),
            "\\xc2\\x9b2J");
  // Not UTF-8: overlong, surrogate, cut short.
  EXPECT_EQ(shown("\xc0\xaf"), "\\xc0\\xaf");
  EXPECT_EQ(shown("\xed\xa0\x80"), "\\xed\\xa0\\x80");
  EXPECT_EQ(shown("\xe2\x80"), "\\xe2\\x80");
}

TEST(BoardLineEscape, LongestLineFitsAndSmallBuffersCutCleanly) {
  const std::string worst(255, '\x1b');
  std::string expected;
  for (int i = 0; i < 255; ++i)
    expected += "\\x1b";
  EXPECT_EQ(shown(worst), expected);
  char small[6];
  board_line_escape("a\x1b"
                    "bc",
                    small, sizeof small);
  EXPECT_STREQ(small, "a\\x1b"); // never half an escape
  board_line_escape("abc", small, 1);
  EXPECT_STREQ(small, "");
}

class LoadFile : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("orvup-load-" + std::to_string(std::rand()) + "-" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string make(const std::string &name, const std::string &bytes) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::filesystem::path dir_;
};

TEST_F(LoadFile, ReadsTheWholeFileAsStored) {
  const std::string bytes("\r\n\x00\x1a\xff tail\n", 10);
  uint8_t *image = nullptr;
  ASSERT_EQ(load_file(make("fw.bin", bytes).c_str(), &image), 10);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(image), 10), bytes);
  std::free(image);
}

TEST_F(LoadFile, RefusesWhatIsNotAReadableNonEmptyFile) {
  uint8_t *image = reinterpret_cast<uint8_t *>(&image); // untouched on failure
  uint8_t *const sentinel = image;
  EXPECT_EQ(load_file(make("empty.bin", "").c_str(), &image), -1);
  EXPECT_EQ(load_file((dir_ / "missing.bin").string().c_str(), &image), -1);
  EXPECT_EQ(load_file(dir_.string().c_str(), &image), -1);
  EXPECT_EQ(image, sentinel);
}

} // namespace
