// Port listing from sysfs (fixture folders in tests/fixtures/ports) and the
// mapping of a port's many names onto its device node.
#include "functions.h"
#include "ports-sysfs.h"
#include "ports.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kFixtures = fs::path(__FILE__).parent_path().parent_path() / "fixtures" / "ports";

std::vector<std::string> to_vector(char *list) {
  std::vector<std::string> out;
  for (const char *s = list; s && *s; s += std::strlen(s) + 1)
    out.push_back(s);
  string_list_free(list);
  return out;
}

int sign(int v) { return (v > 0) - (v < 0); }

TEST(PortNames, NaturalOrder) {
  struct Row {
    const char *a, *b;
    int expected;
  };
  const Row rows[] = {
      {"ttyACM2", "ttyACM10", -1},
      {"ttyS9", "ttyS10", -1},
      {"ttyACM10", "ttyACM10", 0},
      {"ttyACM0", "ttyS0", -1},
      {"ttyS0", "ttyUSB0", -1},
      {"ttyS", "ttyS0", -1},
      {"ttyS1", "ttyS01", 1},                                        // same value: byte order decides, never "equal"
      {"ttyS99999999999999999999", "ttyS100000000000000000000", -1}, // beyond any integer type
      {"ttyUSB1", "ttyUSB1a", -1},
      {"/dev/ttyACM2", "/dev/ttyACM10", -1},
  };
  for (const Row &r : rows) {
    EXPECT_EQ(sign(ports_natural_compare(r.a, r.b)), r.expected) << r.a << " vs " << r.b;
    EXPECT_EQ(sign(ports_natural_compare(r.b, r.a)), -r.expected) << r.b << " vs " << r.a;
  }
}

TEST(PortNames, TypeUnknownOnlyForZero) {
  const std::pair<const char *, bool> rows[] = {{"0\n", true},  {"0", true},     {"00\n", true}, {" 0 \n", true},
                                                {"4\n", false}, {"10\n", false}, {"", false},    {"\n", false},
                                                {"x", false},   {"0x", false},   {"-0", false}};
  for (const auto &[text, unknown] : rows)
    EXPECT_EQ(ports_type_is_unknown(text), unknown) << '"' << text << '"';
}

TEST(PortNames, DevNameFromSysfsName) {
  char dest[16];
  ports_dev_name("ttyS0", dest, sizeof(dest));
  EXPECT_STREQ(dest, "ttyS0");
  ports_dev_name("usb!ttyX3", dest, sizeof(dest));
  EXPECT_STREQ(dest, "usb/ttyX3");
  ports_dev_name("ttyVeryLongNameIndeed", dest, 6);
  EXPECT_STREQ(dest, "ttyVe");
}

struct ScanCase {
  const char *folder;
  std::vector<std::string> ports; // names under the fixture's dev/
};

[[maybe_unused]] void PrintTo(const ScanCase &c, std::ostream *os) { *os << c.folder; }

class SysfsScan : public testing::TestWithParam<ScanCase> {};

TEST_P(SysfsScan, ListsHardwarePortsInNaturalOrder) {
  const ScanCase &c = GetParam();
  const std::string tty = (kFixtures / c.folder / "tty").string(), dev = (kFixtures / c.folder / "dev").string();
  ASSERT_TRUE(fs::is_directory(tty)) << tty;
  std::vector<std::string> expected;
  for (const std::string &p : c.ports)
    expected.push_back(dev + "/" + p);
  EXPECT_EQ(to_vector(ports_scan_sysfs(tty.c_str(), dev.c_str())), expected);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SysfsScan,
                         testing::Values(ScanCase{"empty", {}}, ScanCase{"one", {"ttyACM0"}},
                                         ScanCase{"several", {"ttyACM2", "ttyACM10", "ttyS0", "ttyS3", "ttyUSB0"}}),
                         [](const auto &param_info) { return std::string(param_info.param.folder); });

TEST(SysfsScanRoots, MissingTtyRootGivesTheEmptyList) {
  char *list = ports_scan_sysfs("/nonexistent/class/tty", "/dev");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list[0], '\0');
  string_list_free(list);
}

TEST(SysfsScanRoots, RealSystemListsOnlyExistingNodes) {
  // Whatever this machine has: every listed port is a full /dev path that
  // exists, and the order is the natural one.
  const std::vector<std::string> ports = to_vector(serial_find_ports());
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].rfind("/dev/", 0), 0u) << ports[i];
    EXPECT_TRUE(fs::exists(ports[i])) << ports[i];
    if (i) {
      EXPECT_LT(ports_natural_compare(ports[i - 1].c_str(), ports[i].c_str()), 0);
    }
  }
}

// A scratch folder with links that lead to a pseudo-terminal (the way the
// simulated board and udev's by-id links present a port) and to other things.
class PortIdentity : public testing::Test {
protected:
  std::string dir, pty;
  int master = -1;

  void SetUp() override {
    char tmpl[] = "/tmp/orvup-ports-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    pty = ptsname(master);
    fs::create_directories(dir + "/by-id");
    fs::create_symlink(pty, dir + "/by-id/usb-Orvane_IO-if00");
    fs::create_symlink("by-id/usb-Orvane_IO-if00", dir + "/chain");
    fs::create_symlink(dir + "/nowhere", dir + "/dangling");
    fs::create_symlink("/dev/null", dir + "/null-link");
    std::FILE *f = std::fopen((dir + "/plain-file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  void TearDown() override {
    if (master >= 0)
      close(master);
    fs::remove_all(dir);
  }
};

TEST_F(PortIdentity, EveryNameOfAPortMapsToItsNode) {
  struct Row {
    std::string input;
    int dest_size;
    int result;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {pty, 256, 1, pty},
      {dir + "/by-id/usb-Orvane_IO-if00", 256, 1, pty},
      {dir + "/chain", 1024, 1, pty},
      {dir + "/by-id/../chain", 1024, 1, pty},
      {dir + "/null-link", 256, 1, "/dev/null"},
      {dir + "/chain", 5, 1, pty.substr(0, 4)},
      {dir + "/chain", 1, 1, ""},
      {dir + "/chain", 0, 0, ""},
      {dir + "/dangling", 256, 0, ""},
      {dir + "/missing", 256, 0, ""},
      {dir + "/plain-file", 256, 0, ""},
      {dir, 256, 0, ""},
      {"", 256, 0, ""},
  };
  for (const Row &r : rows) {
    for (const bool forward : {true, false}) {
      SCOPED_TRACE(r.input + " size " + std::to_string(r.dest_size) + (forward ? " forward" : " back"));
      char dest[1100];
      std::memset(dest, '#', sizeof(dest));
      const int result = forward ? PortNameToDevicePathA(r.input.c_str(), dest, r.dest_size)
                                 : DevicePathToPortNameA(r.input.c_str(), dest, r.dest_size);
      ASSERT_EQ(result, r.result);
      const size_t untouched_from = r.result ? r.expected.size() + 1 : 0;
      if (r.result) {
        EXPECT_STREQ(dest, r.expected.c_str());
      }
      EXPECT_EQ(std::string(dest + untouched_from, sizeof(dest) - untouched_from),
                std::string(sizeof(dest) - untouched_from, '#'));
    }
  }
}

TEST_F(PortIdentity, APortThatLeftIsNotFound) {
  const std::string link = dir + "/by-id/usb-Orvane_IO-if00";
  char before[256];
  ASSERT_EQ(PortNameToDevicePathA(link.c_str(), before, sizeof(before)), 1);
  close(master); // the pseudo-terminal goes away with its master
  master = -1;
  char dest[256] = "untouched";
  const int forward = PortNameToDevicePathA(link.c_str(), dest, sizeof(dest));
  const int back = DevicePathToPortNameA(before, dest, sizeof(dest));
  if (fs::exists(pty)) // another program opened a terminal and was given the freed number
    GTEST_SKIP() << pty << " was taken again before the look";
  EXPECT_EQ(forward, 0);
  EXPECT_EQ(back, 0);
  EXPECT_STREQ(dest, "untouched");
}

TEST_F(PortIdentity, NullArgumentsFindNothing) {
  char dest[16] = "untouched";
  EXPECT_EQ(PortNameToDevicePathA(nullptr, dest, sizeof(dest)), 0);
  EXPECT_EQ(DevicePathToPortNameA(nullptr, dest, sizeof(dest)), 0);
  EXPECT_EQ(PortNameToDevicePathA(pty.c_str(), nullptr, 16), 0);
  EXPECT_STREQ(dest, "untouched");
}

} // namespace
