// The port table and the COM-port interface lookups, against the registry of
// the test prefix: under Wine the fake devices of tests/wine/comports.reg
// stand in for USB boards (wine.setup imports them).
#include "functions.h"
#include "ports-win32.h"
#include "ports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> to_vector(char *list) {
  std::vector<std::string> out;
  for (const char *s = list; s && *s; s += std::strlen(s) + 1)
    out.push_back(s);
  string_list_free(list);
  return out;
}

// A port table of the test's own under HKCU, so that nothing the other tests
// see in HKLM changes.
class PortTable : public testing::Test {
protected:
  const std::string path = "Software\\OrvupTest\\PortTable" + std::to_string(GetCurrentProcessId());
  HKEY key = nullptr;

  void SetUp() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    if (key)
      RegCloseKey(key);
    RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
  }
  // Stores exactly `data` as a string value: no NUL unless `data` holds one.
  // The registry adds a NUL that the caller forgot to count when one
  // follows the data in memory, so a guard byte follows it here.
  void set(const std::string &name, const std::string &data) {
    const std::string guarded = data + "#";
    ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(guarded.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    DWORD stored = 0;
    const std::wstring wname(name.begin(), name.end());
    ASSERT_EQ(RegQueryValueExW(key, wname.c_str(), nullptr, nullptr, nullptr, &stored), ERROR_SUCCESS);
    ASSERT_EQ(stored, data.size() * sizeof(WCHAR)) << name;
  }
  std::vector<std::string> list() { return to_vector(ports_list_from_key(HKEY_CURRENT_USER, path.c_str())); }
};

TEST_F(PortTable, MissingKeyGivesTheEmptyList) {
  char *ports = ports_list_from_key(HKEY_CURRENT_USER, "Software\\OrvupTest\\NoSuchKey");
  ASSERT_NE(ports, nullptr);
  EXPECT_EQ(ports[0], '\0');
  string_list_free(ports);
  EXPECT_TRUE(list().empty());
}

TEST_F(PortTable, NamesComeInRegistryOrderWithDuplicates) {
  set("\\Device\\Serial0", std::string("COM3", 5));
  set("\\Device\\Serial1", std::string("COM10", 6));
  set("\\Device\\Serial2", std::string("COM3", 5));
  EXPECT_EQ(list(), (std::vector<std::string>{"COM3", "COM10", "COM3"}));
}

TEST_F(PortTable, OddValuesNeverCorruptOrHideTheOtherPorts) {
  const std::string full(256, 'F');
  set("\\Device\\Serial0", "COM1");                // stored without its NUL
  set("\\Device\\Serial1", full);                  // fills the buffer with no NUL after it
  set("\\Device\\Serial2", std::string(257, 'L')); // does not fit: adds nothing
  set("\\Device\\Serial3", std::string("", 1));    // empty: would end the list early
  set("\\Device\\Serial4", std::string("COM7\0junk", 9));
  // The full value is taken whole, and nothing after it is read.
  EXPECT_EQ(list(), (std::vector<std::string>{"COM1", full, "COM7"}));
}

TEST_F(PortTable, AValueNameTooLongForTheBufferEndsTheList) {
  set("A", "COM1");
  set("B" + std::string(300, 'x'), "COM2");
  set("C", "COM3");
  EXPECT_EQ(list(), (std::vector<std::string>{"COM1"}));
}

TEST(PortList, SystemTableListsTheMappedPorts) {
  // The test prefix maps COM5..COM24 (tests/wine/wine-prefix.sh).
  const std::vector<std::string> ports = to_vector(serial_find_ports());
  for (const char *name : {"COM5", "COM12", "COM24"})
    EXPECT_NE(std::find(ports.begin(), ports.end(), name), ports.end()) << name;
}

// The fake devices, as the device database spells their interface paths.
std::string interface_path(const std::string &serial) {
  return "\\\\?\\USB#VID_2E8A&PID_000A#" + serial + "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
}
const std::string kName32 = "ORVTEST-PORT-NAME-OF-32-CHARS-AB";
const std::string kName33 = "ORVTEST-PORT-NAME-OF-33-CHARS-ABC";

// Stores the device's "PortName" as exactly these characters, with no NUL
// after them, as a driver may leave it. Only the test's own fake device.
bool store_port_name_without_nul(const std::string &serial, const std::wstring &name) {
  const std::string key = "System\\CurrentControlSet\\Enum\\USB\\VID_2E8A&PID_000A\\" + serial + "\\Device Parameters";
  HKEY k;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &k) != ERROR_SUCCESS)
    return false;
  const DWORD bytes = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  // A guard character after the name, or the registry adds the NUL itself.
  const std::wstring guarded = name + L"#";
  LONG rc = RegSetValueExW(k, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE *>(guarded.data()), bytes);
  DWORD stored = 0;
  if (rc == ERROR_SUCCESS)
    rc = RegQueryValueExW(k, L"PortName", nullptr, nullptr, nullptr, &stored);
  RegCloseKey(k);
  return rc == ERROR_SUCCESS && stored == bytes;
}

class ComInterfaces : public testing::Test {
protected:
  void SetUp() override {
    char path[1024];
    ASSERT_EQ(PortNameToDevicePathA("COM40", path, sizeof(path)), 1)
        << "the fake COM-port devices are missing: run through ctest, whose wine.setup imports "
           "tests/wine/comports.reg";
    ASSERT_TRUE(store_port_name_without_nul("ORVTESTFULL32", std::wstring(kName32.begin(), kName32.end())));
  }
};

enum class Way { NameToPath, PathToName };

struct MapCase {
  const char *what;
  Way way;
  std::string input;
  int dest_size;
  int result;
  std::string expected; // compared ignoring letter case for paths
};

[[maybe_unused]] void PrintTo(const MapCase &c, std::ostream *os) { *os << c.what; }

int map(const MapCase &c, char *dest) {
  return c.way == Way::NameToPath ? PortNameToDevicePathA(c.input.c_str(), dest, c.dest_size)
                                  : DevicePathToPortNameA(c.input.c_str(), dest, c.dest_size);
}

TEST_F(ComInterfaces, BothWays) {
  const std::string p40 = interface_path("ORVTEST40");
  std::string p40_lower = p40;
  for (char &ch : p40_lower)
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const std::vector<MapCase> cases = {
      {"name found", Way::NameToPath, "COM40", 1024, 1, p40},
      {"name in other letter case", Way::NameToPath, "com40", 1024, 0, ""},
      {"name prefix only", Way::NameToPath, "COM4", 1024, 0, ""},
      {"name with trailing space", Way::NameToPath, "COM40 ", 1024, 0, ""},
      {"unknown name", Way::NameToPath, "COM99", 1024, 0, ""},
      {"empty name", Way::NameToPath, "", 1024, 0, ""},
      {"name filling its buffer", Way::NameToPath, kName32, 1024, 1, interface_path("ORVTESTFULL32")},
      {"name longer than its buffer", Way::NameToPath, kName33, 1024, 0, ""},
      {"path cut to size - 1", Way::NameToPath, "COM40", 10, 1, p40.substr(0, 9)},
      {"path into a one-byte buffer", Way::NameToPath, "COM40", 1, 1, ""},
      {"path into no buffer", Way::NameToPath, "COM40", 0, 0, ""},
      {"path as enumerated", Way::PathToName, p40_lower, 256, 1, "COM40"},
      {"path in upper case", Way::PathToName, p40, 256, 1, "COM40"},
      {"path of a device without PortName", Way::PathToName, interface_path("ORVTESTNONAME"), 256, 0, ""},
      {"path of a device whose name fills its buffer", Way::PathToName, interface_path("ORVTESTFULL32"), 256, 1,
       kName32},
      {"path of a device whose name is too long", Way::PathToName, interface_path("ORVTESTLONG33"), 256, 0, ""},
      {"path of a device that has left", Way::PathToName, interface_path("ORVTESTGONE"), 256, 0, ""},
      {"path with a trailing character", Way::PathToName, p40 + "x", 256, 0, ""},
      {"name cut to size - 1", Way::PathToName, p40, 4, 1, "COM"},
      {"name into a one-byte buffer", Way::PathToName, p40, 1, 1, ""},
  };
  for (const MapCase &c : cases) {
    SCOPED_TRACE(c.what);
    char dest[1100];
    std::memset(dest, '#', sizeof(dest));
    ASSERT_EQ(map(c, dest), c.result);
    if (c.result == 0) {
      EXPECT_EQ(std::string(dest, sizeof(dest)), std::string(sizeof(dest), '#')) << "destination touched";
      continue;
    }
    EXPECT_EQ(_stricmp(dest, c.expected.c_str()), 0) << dest;
    // Nothing written past the terminating NUL the size allows.
    const size_t written = c.expected.size() + 1;
    EXPECT_EQ(std::string(dest + written, sizeof(dest) - written), std::string(sizeof(dest) - written, '#'));
  }
}

TEST_F(ComInterfaces, NullArgumentsFindNothing) {
  char dest[64] = "untouched";
  EXPECT_EQ(PortNameToDevicePathA(nullptr, dest, sizeof(dest)), 0);
  EXPECT_EQ(DevicePathToPortNameA(nullptr, dest, sizeof(dest)), 0);
  EXPECT_EQ(PortNameToDevicePathA("COM40", nullptr, 64), 0);
  EXPECT_STREQ(dest, "untouched");
}

TEST_F(ComInterfaces, LookupsReleaseEverythingTheyTake) {
  // Many lookups on every path out (found, not found, unreadable name):
  // the watcher runs them for every broadcast over a long update.
  const std::string paths[] = {interface_path("ORVTEST40"), interface_path("ORVTESTNONAME"),
                               interface_path("ORVTESTGONE")};
  char dest[1024];
  auto round = [&] {
    PortNameToDevicePathA("COM40", dest, sizeof(dest));
    PortNameToDevicePathA("COM99", dest, sizeof(dest));
    for (const std::string &p : paths)
      DevicePathToPortNameA(p.c_str(), dest, sizeof(dest));
    string_list_free(serial_find_ports());
  };
  round();
  DWORD before = 0, after = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
  for (int i = 0; i < 30; ++i)
    round();
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
  EXPECT_EQ(after, before);
}

} // namespace
