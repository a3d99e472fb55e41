// `orvup --list` on systems whose ports are known: natively, the fixture
// sysfs and /dev trees of tests/fixtures/ports mounted over the real ones in
// a private mount namespace; under Wine, a prefix of its own whose only
// ports are the COM names a case maps (tests/wine/list-ports.sh).
#include "target.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using orvtest::Target;

namespace {

const fs::path kTests = fs::path(__FILE__).parent_path().parent_path();

struct ListCase {
  const char *name;
  const char *fixture;              // folder under tests/fixtures/ports
  std::vector<std::string> native;  // lines the native program prints
  std::vector<std::string> com;     // COM names mapped under Wine
  std::vector<std::string> windows; // lines orvup.exe prints: the registry's order
};

[[maybe_unused]] void PrintTo(const ListCase &c, std::ostream *os) { *os << c.name; }

std::string expected_output(const std::vector<std::string> &ports) {
  std::string out = "orvup v1.00\nAvailable serial ports:\n";
  for (const std::string &p : ports)
    out += "  " + p + "\n";
  if (ports.empty())
    out += "  (none found)\n";
  return out;
}

orvtest::ProcessResult run_native(const ListCase &c) {
  const fs::path root = kTests / "fixtures" / "ports" / c.fixture;
  const std::string script = "mount --bind \"$1\" /sys/class/tty && mount --bind \"$2\" /dev && exec \"$3\" --list";
  return orvtest::run_process({"unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                               (root / "tty").string(), (root / "dev").string(), Target::get().exe()});
}

// The port table as Wine's registry enumerated it in the same run.
std::vector<std::string> registry_order(const std::string &root) {
  std::ifstream in(root + "/serialcomm.txt");
  std::vector<std::string> names;
  std::string value, name;
  while (in >> value >> name)
    names.push_back(name);
  return names;
}

class ListPorts : public testing::TestWithParam<ListCase> {};

TEST_P(ListPorts, PrintsExactlyThePortsPresent) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root for a private mount namespace (CI runs as root)";
  const ListCase &c = GetParam();
  const Target &target = Target::get();
  orvtest::ProcessResult r;
  std::vector<std::string> ports = c.native;
  if (target.wine()) {
    // One prefix for all cases, next to the shared one; the script takes
    // its turn under a lock.
    const std::string root = target.wine_root() + "-list";
    std::vector<std::string> argv = {(kTests / "wine" / "list-ports.sh").string(), root, target.exe()};
    argv.insert(argv.end(), c.com.begin(), c.com.end());
    orvtest::ProcessOptions opts;
    opts.timeout_ms = 240000; // the first case makes the prefix
    r = orvtest::run_process(argv, opts);
    r.out = orvtest::crlf_to_lf(r.out);
    ports = c.windows;
    // The expected order is the one the registry enumerates, not sorted.
    EXPECT_EQ(registry_order(root), c.windows);
  } else {
    r = run_native(c);
  }
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, expected_output(ports));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Systems, ListPorts,
                         testing::Values(ListCase{"Empty", "empty", {}, {}, {}},
                                         ListCase{"OnePort", "one", {"/dev/ttyACM0"}, {"COM3"}, {"COM3"}},
                                         ListCase{"SeveralPorts",
                                                  "several",
                                                  {"/dev/ttyACM2", "/dev/ttyACM10", "/dev/ttyS0", "/dev/ttyS3",
                                                   "/dev/ttyUSB0"},
                                                  {"COM3", "COM12", "COM7"},
                                                  {"COM12", "COM3", "COM7"}}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

} // namespace
