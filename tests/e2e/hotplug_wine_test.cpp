// The Windows link following the simulated board through an unplug and a
// replug, under Wine. Wine raises no device events, so watch-probe
// (tests/watchprobe) plays the system's device manager for its own link: it
// broadcasts the removal and arrival of COM24's interface (a fake device of
// tests/wine/watcher.reg) as the board's port link goes and comes back.
// Natively there is nothing to run here: the POSIX watcher has tests of its
// own.
#include "board_sim.h"
#include "target.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using orvtest::BoardSim;
using orvtest::ProcessOptions;
using orvtest::ProcessResult;
using orvtest::Target;

namespace {

// COM24, the one slot whose COM name has a device interface in the prefix,
// held under the same lock that PortSlot takes.
class Com24 {
public:
  explicit Com24(const std::string &device_path) : link_(Target::get().wine_root() + "/ports/COM24") {
    lock_fd_ = open((link_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0 || flock(lock_fd_, LOCK_EX) != 0)
      throw std::runtime_error("cannot take the COM24 slot");
    const std::string tmp = link_ + ".new";
    unlink(tmp.c_str());
    if (symlink(device_path.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link_.c_str()) != 0)
      throw std::runtime_error("cannot point COM24 at " + device_path);
  }
  ~Com24() {
    unlink(link_.c_str());
    close(lock_fd_);
  }
  Com24(const Com24 &) = delete;
  Com24 &operator=(const Com24 &) = delete;
  // The link as Wine's programs reach it through the Z: drive.
  std::string windows_path() const { return "Z:" + link_; }

private:
  std::string link_;
  int lock_fd_ = -1;
};

TEST(HotplugWine, TheLinkFollowsTheBoardThroughUnplugAndReplug) {
  const Target &t = Target::get();
  if (!t.wine())
    GTEST_SKIP() << "the Windows watcher only";
  BoardSim sim;
  Com24 port(sim.device_path());

  ProcessResult r;
  std::thread probe([&] {
    ProcessOptions opts;
    opts.timeout_ms = 60000;
    t.add_wine_env(opts);
    const auto exe = std::filesystem::path(t.exe()).parent_path() / "tests" / "watch-probe.exe";
    r = orvtest::run_process({"wine", exe.string(), "COM24", port.windows_path()}, opts);
  });
  const bool first = sim.wait_received(8, 30000);
  if (first) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the first START reaches the probe
    sim.unplug();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto back = std::chrono::steady_clock::now();
    sim.replug();
    // The new terminal starts at another speed: 115200 means the port was
    // opened and set up again. (Counting opens can miss a quick one.)
    EXPECT_TRUE(sim.wait_configured(10000));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - back);
    RecordProperty("replug_to_reopen_ms", static_cast<int>(ms.count()));
    std::printf("replug to reopen: %d ms\n", static_cast<int>(ms.count()));
  }
  probe.join();
  ASSERT_TRUE(first) << r.out << r.err;
  const std::string out = orvtest::crlf_to_lf(r.out);
  std::printf("watch-probe said:\n%s", out.c_str());
  EXPECT_EQ(r.status, 0) << out << r.err;
  EXPECT_NE(out.find("first FWUP answered"), std::string::npos) << out;
  EXPECT_NE(out.find("removal broadcast\n"), std::string::npos) << out;
  EXPECT_NE(out.find("arrival broadcast, reopened in"), std::string::npos) << out;
  EXPECT_NE(out.find("second FWUP answered"), std::string::npos) << out;
  EXPECT_EQ(sim.received(), "FWUP 16\nFWUP 16\n");
}

} // namespace
