// The file reader against what only a POSIX system makes easy to set up: a
// FIFO (which would block an open), a device, and a sparse file of 4 GiB and
// one byte (whose size must not be narrowed to 1).
#include "functions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace
