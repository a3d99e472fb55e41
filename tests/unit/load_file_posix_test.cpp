// The file reader against what only a POSIX system makes easy to set up: a
// FIFO (which would block an open), a device, and a sparse file of 4 GiB and
// one byte (whose size must not be narrowed to 1).
#include "functions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

TEST(LoadFilePosix, RefusesFifoDeviceAndOversizedFile) {
  char dir[] = "/tmp/orvup-load-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/fw.fifo";
  const std::string huge = std::string(dir) + "/huge.bin";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(truncate(huge.c_str(), 0), -1); // not there yet
  FILE *f = std::fopen(huge.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_EQ(truncate(huge.c_str(), (1LL << 32) + 1), 0);

  uint8_t *image = nullptr;
  EXPECT_EQ(load_file(fifo.c_str(), &image), -1); // returns at once, no writer needed
  EXPECT_EQ(load_file("/dev/zero", &image), -1);
  EXPECT_EQ(load_file(huge.c_str(), &image), -1);
  EXPECT_EQ(image, nullptr);

  unlink(fifo.c_str());
  unlink(huge.c_str());
  rmdir(dir);
}

TEST(LoadFilePosix, TheFileOpenedIsTheFileRead) {
  // A newer build moved into the image's place while the update reads:
  // the update goes on with the file it measured, whole and unmixed.
  char dir[] = "/tmp/orvup-load-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/fw.bin";
  const std::string newer = std::string(dir) + "/fw.bin.part";
  for (const auto &[name, bytes] : {std::pair{path, std::string(1000, 'a')}, {newer, std::string(3000, 'b')}}) {
    FILE *f = std::fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  int64_t size = 0;
  const file_ptr file(regular_file_open(path.c_str(), &size));
  ASSERT_TRUE(file);
  ASSERT_EQ(rename(newer.c_str(), path.c_str()), 0);
  const image_t image = image_read(file.get(), size);
  ASSERT_EQ(image.size, 1000);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(image.bytes.get()), 1000), std::string(1000, 'a'));

  unlink(path.c_str());
  rmdir(dir);
}

} // namespace
