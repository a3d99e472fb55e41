// The Linux drive search over mount tables written by the test.
#include "drive.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// Two boards on one workstation, as sysfs shows them: board A's serial port
// and, after its reboot, its BOOTSEL drive on USB port 1-2; board B's on
// 1-3.4 (behind a hub on port 1-3).
class UsbPorts : public testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orvup-usb-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    const std::string bus = "devices/pci0000:00/0000:00:14.0/usb1";
    board("ttyACM0", bus + "/1-2/1-2:1.0", "8:33", bus + "/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdc/sdc1");
    board("ttyACM1", bus + "/1-3/1-3.4/1-3.4:1.0", "8:49",
          bus + "/1-3/1-3.4/1-3.4:1.2/host7/target7:0:0/7:0:0:0/block/sdd/sdd1");
    // A drive on a SATA disk: no USB port at all.
    dir("sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda1");
    link("sys/dev/block/8:1", "../../devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda1");
    std::ofstream(root_ + "/mountinfo") << "21 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                           "600 21 8:33 / /media/t/RPI-RP2 rw - vfat /dev/sdc1 rw\n"
                                           "601 21 8:49 / /media/t/RPI-RP21 rw - vfat /dev/sdd1 rw\n"
                                           "602 21 0:50 / /mnt/RPI-RP2 rw - tmpfs tmpfs rw\n";
  }
  void TearDown() override { fs::remove_all(root_); }

  void dir(const std::string &path) { fs::create_directories(root_ + "/" + path); }
  void link(const std::string &path, const std::string &target) {
    fs::create_directories(fs::path(root_ + "/" + path).parent_path());
    fs::create_symlink(target, root_ + "/" + path);
  }
  void board(const std::string &tty, const std::string &interface, const std::string &dev, const std::string &block) {
    dir("sys/" + interface + "/tty/" + tty);
    link("sys/class/tty/" + tty + "/device", "../../../" + interface);
    std::ofstream(root_ + "/" + tty).close(); // the node behind --port
    dir("sys/" + block);
    link("sys/dev/block/" + dev, "../../" + block);
  }

  std::string port_location(const std::string &port) {
    char loc[1024] = "(none)";
    return port_usb_location_in((root_ + "/" + port).c_str(), (root_ + "/sys").c_str(), loc, sizeof loc)
               ? std::string(loc).substr(root_.size())
               : "(none)";
  }
  std::string drive_location(const std::string &drive) {
    char loc[1024] = "(none)";
    return drive_usb_location_in(drive.c_str(), (root_ + "/mountinfo").c_str(), (root_ + "/sys").c_str(), loc,
                                 sizeof loc)
               ? std::string(loc).substr(root_.size())
               : "(none)";
  }

  std::string root_;
};

TEST_F(UsbPorts, ThePortAndTheDriveOfOneBoardShareItsUsbPort) {
  const std::string bus = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
  EXPECT_EQ(port_location("ttyACM0"), bus + "/1-2");
  EXPECT_EQ(port_location("ttyACM1"), bus + "/1-3/1-3.4");
  EXPECT_EQ(drive_location("/media/t/RPI-RP2"), bus + "/1-2");
  EXPECT_EQ(drive_location("/media/t/RPI-RP21"), bus + "/1-3/1-3.4");
  EXPECT_EQ(port_location("ttyACM7"), "(none)");       // no such port
  EXPECT_EQ(drive_location("/mnt/RPI-RP2"), "(none)"); // no block device behind it
  EXPECT_EQ(drive_location("/"), "(none)");            // a disk, not on USB
  EXPECT_EQ(drive_location("/media/t/other"), "(none)");
}

TEST_F(UsbPorts, ADriveIsGoneWhenItsMountOrItsBlockDeviceIsGone) {
  const std::string table = root_ + "/mountinfo", sys = root_ + "/sys";
  EXPECT_TRUE(bootsel_drive_present_in("/media/t/RPI-RP2", table.c_str(), sys.c_str()));
  EXPECT_TRUE(bootsel_drive_present_in("/mnt/RPI-RP2", table.c_str(), sys.c_str())); // tmpfs: no device to lose
  EXPECT_FALSE(bootsel_drive_present_in("/media/t/RPI-RP22", table.c_str(), sys.c_str()));
  // Pulled out: the mount stays in the table for a while, the device does not.
  fs::remove(sys + "/dev/block/8:33");
  EXPECT_FALSE(bootsel_drive_present_in("/media/t/RPI-RP2", table.c_str(), sys.c_str()));
}

TEST(UsbDeviceOfSysfsPath, CutsAtTheFirstUsbInterface) {
  struct Row {
    const char *path;
    const char *device;
  };
  const Row rows[] = {
      {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/tty/ttyACM0",
       "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2"},
      {"/sys/devices/p/usb3/3-1/3-1.4/3-1.4.2/3-1.4.2:1.1/host2/block/sdb", "/sys/devices/p/usb3/3-1/3-1.4/3-1.4.2"},
      {"/sys/devices/p/usb1/1-2/1-2:1.0", "/sys/devices/p/usb1/1-2"},
      {"/sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda", nullptr},
      {"/sys/devices/p/usb1/1-2/1-2:x.0/tty", nullptr},
      {"/sys/devices/p/usb1/1-2/1-:1.0/tty", nullptr},
      {"", nullptr},
  };
  for (const Row &row : rows) {
    char dest[256] = "untouched";
    const bool found = usb_device_of_sysfs_path(row.path, dest, sizeof dest);
    EXPECT_EQ(found, row.device != nullptr) << row.path;
    EXPECT_STREQ(dest, row.device ? row.device : "untouched") << row.path;
  }
}

TEST(BootselPick, TheBoardsOwnDriveByUsbPortElseTheFirstNewOne) {
  struct Row {
    std::vector<bootsel_seen_t> seen;
    int chosen;
  };
  const Row rows[] = {
      {{{"E:", true, 0}, {"F:", false, 0}}, 1},   // the old drive is another board's
      {{{"E:", true, 0}, {"F:", true, 0}}, -1},   // only old drives: keep waiting
      {{{"E:", false, -1}, {"F:", false, 1}}, 1}, // the USB port decides
      {{{"E:", false, -1}, {"F:", true, 1}}, 1},  // ... even over what was there
      {{{"E:", false, -1}, {"F:", false, 0}}, 1}, // another port's drive is never taken
      {{{"E:", false, -1}}, -1},
      {{}, -1},
  };
  for (const Row &row : rows)
    EXPECT_EQ(bootsel_pick(row.seen.data(), static_cast<int>(row.seen.size())), row.chosen);
}

TEST(DriveSafeName, NamesFatCannotHoldAreMadeSafe) {
  struct Row {
    const char *name;
    const char *safe;
  };
  const Row rows[] = {
      {"io.uf2", "io.uf2"},
      {"io.uf2?X-Amz-Algorithm=AWS4&X-Amz-Signature=ab:cd", "io.uf2"},
      {"io:v1*<2>|\"x\".uf2", "io_v1__2___x_.uf2"},
      {"io\x01\x1f.uf2", "io__.uf2"},
      {"io.uf2. . ", "io.uf2"},
      {"?query-only", "_query-only"},
      {"...", "firmware.uf2"},
  };
  for (const Row &row : rows) {
    char safe[256];
    EXPECT_EQ(drive_safe_name(row.name, safe, sizeof safe), std::strcmp(row.name, row.safe) != 0) << row.name;
    EXPECT_STREQ(safe, row.safe) << row.name;
  }
  char safe[512];
  drive_safe_name(std::string(300, 'a').c_str(), safe, sizeof safe);
  EXPECT_EQ(std::strlen(safe), 255u);
}

} // namespace
