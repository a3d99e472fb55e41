// How the copy reports a drive that does not take the image: /dev/full
// refuses every byte like a full drive; /dev/null takes every byte but
// cannot be synced, like a drive that went away once it had the image.
#include "update-io.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CopyToDriveFailures, ShortWriteIsAnErrorNamingTheCounts) {
  const std::vector<uint8_t> image(4096, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(copy_to_drive("/dev", "build/full", image.data(), 4096), COPY_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Only wrote 0 of 4096 bytes to the RPI-RP2 drive\n");
}

TEST(CopyToDriveFailures, EveryByteWrittenButNotSyncedIsAWarningAndLeftToTheDrive) {
  const std::vector<uint8_t> image(4096, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(copy_to_drive("/dev", "null", image.data(), 4096), COPY_UNFINISHED);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("WARNING: All 4096 bytes were written to '/dev/null', but the drive reported an error while "
                      "the copy was being finished (Invalid argument). The board may already be rebooting",
                      0),
            0u)
      << err;
}

} // namespace
