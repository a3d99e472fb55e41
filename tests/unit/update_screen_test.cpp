// The screen update's parts that need no board: the status words, the
// progress line, and the file reader.
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

TEST_F(LoadFile, FileThatChangesAfterItWasOpenedIsRefused) {
  // What the open file said its size was no longer holds when it is read: a
  // download still being written, or a copy cut short.
  const struct {
    const char *name;
    const char *mode;
    std::string bytes;
  } rows[] = {{"grew.bin", "ab", "more"}, {"shrank.bin", "wb", "abc"}};
  for (const auto &row : rows) {
    const std::string path = make(row.name, "0123456789");
    int64_t size = 0;
    const file_ptr file(regular_file_open(path.c_str(), &size));
    ASSERT_TRUE(file) << row.name;
    EXPECT_EQ(size, 10);
    std::FILE *writer = std::fopen(path.c_str(), row.mode);
    ASSERT_NE(writer, nullptr);
    std::fputs(row.bytes.c_str(), writer);
    std::fclose(writer);
    uint8_t *image = nullptr;
    EXPECT_EQ(file_read_whole(file.get(), size, &image), -1) << row.name;
    EXPECT_EQ(image, nullptr);
  }
}

TEST_F(LoadFile, AnImageOwnsItsBytesOrHasNone) {
  const image_t image = image_load(make("fw.bin", "abc").c_str());
  ASSERT_EQ(image.size, 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(image.bytes.get()), 3), "abc");
  const image_t missing = image_load((dir_ / "missing.bin").string().c_str());
  EXPECT_EQ(missing.size, -1);
  EXPECT_EQ(missing.bytes, nullptr);
}

} // namespace
