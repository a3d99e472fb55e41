#include "mountinfo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

TEST(MountinfoUnescape, DecodesTheKernelsOctalEscapesOnly) {
  const struct {
    const char *in, *out;
  } rows[] = {
      {"/media/tech/RPI-RP2", "/media/tech/RPI-RP2"},
      {"/media/a\\040b", "/media/a b"},
      {"\\011tab\\012lf\\134back", "\ttab\nlf\\back"},
      {"/end\\04", "/end\\04"},   // cut short: kept
      {"/x\\0a9", "/x\\0a9"},     // not octal: kept
      {"/nul\\000", "/nul\\000"}, // would end the string early: kept
      {"\\\\040", "\\ "},         // a backslash before an escape
  };
  for (const auto &row : rows) {
    std::string s = row.in;
    mountinfo_unescape(s.data());
    EXPECT_EQ(std::string(s.c_str()), row.out) << row.in;
  }
}

TEST(MountinfoParse, TakesDeviceRootMountPointAndTypeAcrossOptionalFields) {
  mount_entry_t e;
  ASSERT_TRUE(
      mountinfo_parse_line("36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue\n", &e));
  EXPECT_EQ(e.dev_major, 98u);
  EXPECT_EQ(e.dev_minor, 0u);
  EXPECT_STREQ(e.root, "/mnt1");
  EXPECT_STREQ(e.mount_point, "/mnt2");
  EXPECT_STREQ(e.fstype, "ext3");

  ASSERT_TRUE(mountinfo_parse_line(
      "512 29 8:33 / /media/tech\\040one/RPI-RP2 rw,nosuid shared:270 master:3 - vfat /dev/sdc1 rw,uid=1000", &e));
  EXPECT_EQ(e.dev_major, 8u);
  EXPECT_EQ(e.dev_minor, 33u);
  EXPECT_STREQ(e.mount_point, "/media/tech one/RPI-RP2");
  EXPECT_STREQ(e.fstype, "vfat");

  ASSERT_TRUE(mountinfo_parse_line("40 1 0:45 / /tmp rw - tmpfs tmpfs rw", &e)); // no optional fields
  EXPECT_STREQ(e.fstype, "tmpfs");
}

TEST(MountinfoParse, RefusesLinesOfTheWrongShape) {
  const std::string too_long_path = "/" + std::string(1100, 'a');
  const std::vector<std::string> bad = {"",
                                        "\n",
                                        "36 35 98:0 /mnt1 /mnt2 rw master:1 ext3 /dev/root rw", // no separator
                                        "36 35 98:0 /mnt1 /mnt2 rw -",                          // no type
                                        "36 35 98-0 / /mnt rw - ext3 /dev/root rw", // device not major:minor
                                        "36 35 98:0x / /mnt rw - ext3 /dev/root rw",
                                        "36 35 98:0 / " + too_long_path + " rw - ext3 /dev/root rw"};
  mount_entry_t e;
  for (const auto &line : bad)
    EXPECT_FALSE(mountinfo_parse_line(line.c_str(), &e)) << line;
}

TEST(BootselName, OnlyAFolderNamedExactlyRpiRp2) {
  EXPECT_TRUE(bootsel_name_matches("/media/tech/RPI-RP2"));
  EXPECT_TRUE(bootsel_name_matches("/run/media/tech/RPI-RP2"));
  EXPECT_TRUE(bootsel_name_matches("RPI-RP2"));
  for (const char *no : {"/media/tech/rpi-rp2", "/media/tech/RPI-RP2 ", "/media/tech/RPI-RP21", "/media/RPI-RP2/sub",
                         "/media/tech/RPI-RP2/", "/"})
    EXPECT_FALSE(bootsel_name_matches(no)) << no;
}

mount_entry_t entry(uint32_t major, uint32_t minor, const char *root, const char *mount_point) {
  mount_entry_t e{};
  e.dev_major = major;
  e.dev_minor = minor;
  std::snprintf(e.root, sizeof e.root, "%s", root);
  std::snprintf(e.mount_point, sizeof e.mount_point, "%s", mount_point);
  std::snprintf(e.fstype, sizeof e.fstype, "vfat");
  return e;
}

int choose(const std::vector<mount_entry_t> &entries, const std::vector<bool> &marks) {
  std::unique_ptr<bool[]> m(new bool[marks.size() + 1]());
  for (size_t i = 0; i < marks.size(); ++i)
    m[i] = marks[i];
  return bootsel_choose(entries.data(), m.get(), static_cast<int>(entries.size()));
}

TEST(BootselChoose, StableOrderOneDriveCountedOnceHiddenMountsSkipped) {
  const auto a = entry(8, 1, "/", "/media/tech/RPI-RP2");
  const auto a_again = entry(8, 1, "/", "/mnt/RPI-RP2");
  const auto a_sub = entry(8, 1, "/sub", "/a/inside");
  const auto b = entry(8, 17, "/", "/run/media/tech/RPI-RP2");
  const auto other = entry(8, 2, "/", "/home");
  const auto over_a = entry(0, 50, "/", "/media/tech/RPI-RP2");

  EXPECT_EQ(choose({}, {}), -1);
  EXPECT_EQ(choose({other}, {false}), -1);
  // The mount point that sorts first wins, whatever the mount order.
  EXPECT_EQ(choose({b, a}, {true, true}), 1);
  EXPECT_EQ(choose({a, b}, {true, true}), 0);
  // One drive on two folders: the same rule picks one of them.
  EXPECT_EQ(choose({a_again, a}, {true, true}), 1);
  // A bind of a folder inside the drive is not its root.
  EXPECT_EQ(choose({a_sub, a}, {true, true}), 1);
  EXPECT_EQ(choose({a_sub}, {true}), 0);
  // Something mounted later on the same folder hides the drive.
  EXPECT_EQ(choose({a, over_a}, {true, false}), -1);
  EXPECT_EQ(choose({a, over_a, b}, {true, false, true}), 2);
}

} // namespace
