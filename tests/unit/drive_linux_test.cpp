// The Linux drive search over mount tables written by the test.
#include "drive.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class DriveSearch : public testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orvup-drive-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directory(dir_ + "/by-label");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string find(const std::string &table) {
    std::ofstream(dir_ + "/mountinfo") << table;
    char *found = bootsel_find_mount_in((dir_ + "/mountinfo").c_str(), (dir_ + "/by-label").c_str());
    const std::string result = found ? found : "(none)";
    std::free(found);
    return result;
  }

  std::string dir_;
};

const std::string kSystem = "21 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
                            "22 21 0:5 / /dev rw shared:2 - devtmpfs udev rw\n"
                            "30 21 8:1 / /boot/efi rw shared:3 - vfat /dev/sda1 rw\n";

TEST_F(DriveSearch, FindsTheDriveByItsFolderNameWithEscapesDecoded) {
  EXPECT_EQ(find(kSystem), "(none)");
  EXPECT_EQ(find(kSystem + "512 21 8:33 / /media/tech\\040two/RPI-RP2 rw shared:9 - vfat /dev/sdc1 rw\n"),
            "/media/tech two/RPI-RP2");
  EXPECT_EQ(find(kSystem + "512 21 8:33 / /media/tech/rpi-rp2 rw - vfat /dev/sdc1 rw\n"), "(none)");
  // Two drives: the same one whichever was mounted first.
  const std::string run = "513 21 8:49 / /run/media/tech/RPI-RP2 rw - vfat /dev/sdd1 rw\n";
  const std::string media = "512 21 8:33 / /media/tech/RPI-RP2 rw - vfat /dev/sdc1 rw\n";
  EXPECT_EQ(find(kSystem + run + media), "/media/tech/RPI-RP2");
  EXPECT_EQ(find(kSystem + media + run), "/media/tech/RPI-RP2");
}

TEST_F(DriveSearch, FindsTheDriveByItsLabelLinkWhateverTheFolder) {
  // udev's link leads to the device whose number the table shows; /dev/null
  // (1:3) stands in for the drive.
  fs::create_symlink("/dev/null", dir_ + "/by-label/RPI-RP2");
  EXPECT_EQ(find(kSystem + "600 21 1:3 / /mnt/usb rw - vfat /dev/sdc1 rw\n"), "/mnt/usb");
  EXPECT_EQ(find(kSystem + "600 21 1:4 / /mnt/usb rw - vfat /dev/sdc1 rw\n"), "(none)");
}

TEST_F(DriveSearch, NoTableNoDrive) {
  char *found = bootsel_find_mount_in((dir_ + "/missing").c_str(), (dir_ + "/by-label").c_str());
  EXPECT_EQ(found, nullptr);
  std::free(found);
}

} // namespace
