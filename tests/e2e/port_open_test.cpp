// Why the board's port will not open, as a technician meets it on Linux: a
// port the user may not open, a port another program holds. The Windows
// wording is checked as a unit (OpenReason); Wine neither enforces a port's
// owner nor its share mode.
#include "board_sim.h"
#include "firmware_gen.h"
#include "target.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using orvtest::BoardSim;
using orvtest::ProcessResult;
using orvtest::Target;
namespace fs = std::filesystem;

namespace {

const std::string kRule = "packaging/linux/60-orvup.rules";

class PortOpen : public testing::Test {
protected:
  void SetUp() override {
    if (Target::get().wine())
      GTEST_SKIP() << "Linux ports only";
    char tmpl[] = "/tmp/orvup-open-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755); // readable by the unprivileged user too
    const orvtest::Bytes image = orvtest::esp_app_image_of_size(1024);
    std::ofstream(dir_ + "/screen.bin", std::ios::binary) << std::string(image.begin(), image.end());
    chmod((dir_ + "/screen.bin").c_str(), 0644);
  }
  void TearDown() override {
    if (!dir_.empty())
      fs::remove_all(dir_);
  }

  ProcessResult update(const std::string &port, const std::vector<std::string> &as_user = {}) {
    std::vector<std::string> argv = as_user;
    for (const std::string &a :
         {Target::get().exe(), std::string("--screen-fw"), dir_ + "/screen.bin", std::string("--port"), port})
      argv.push_back(a);
    return orvtest::run_process(argv);
  }

  std::string dir_;
};

TEST_F(PortOpen, AUserOutsideThePortsGroupIsToldWhichGroupToJoin) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to give the port to a group and run orvup as the user nobody";
  const group *dialout = getgrnam("dialout");
  if (!dialout)
    GTEST_SKIP() << "no dialout group on this machine";
  BoardSim board;
  // The pseudo-terminal itself: the simulator's link to it sits in a folder
  // only root may enter.
  const std::string port = fs::canonical(board.device_path()).string();
  // The board's port as udev leaves it without the rule.
  ASSERT_EQ(chown(port.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(port.c_str(), 0660), 0);
  const ProcessResult r = update(port, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "ERROR: Unable to open serial port " + port + "\n  Permission denied: " + port +
                       " is crw-rw----, owner root, group dialout. Join that group (sudo usermod -aG dialout $USER) "
                       "and log in again, or install the udev rule " +
                       kRule + ".\n");
  EXPECT_EQ(board.received(), "");
}

// A process of the given name that holds the port open and locked, as
// ModemManager or a terminal program would.
class Holder {
public:
  Holder(const std::string &dir, const std::string &name, const std::string &port) {
    const std::string exe = dir + "/" + name;
    fs::copy_file("/bin/sleep", exe, fs::copy_options::overwrite_existing);
    chmod(exe.c_str(), 0755);
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
      if (fd < 0 || flock(fd, LOCK_EX) != 0)
        _exit(1);
      execl(exe.c_str(), name.c_str(), "60", static_cast<char *>(nullptr));
      _exit(1);
    }
    // Held once the program runs under its own name.
    const std::string comm = "/proc/" + std::to_string(pid_) + "/comm";
    for (int i = 0; i < 500; ++i) {
      std::string seen;
      std::getline(std::ifstream(comm), seen);
      if (seen == name)
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << name << " did not start";
  }
  ~Holder() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Holder(const Holder &) = delete;
  Holder &operator=(const Holder &) = delete;
  pid_t pid() const { return pid_; }

private:
  pid_t pid_ = -1;
};

TEST_F(PortOpen, APortHeldByAnotherProgramNamesIt) {
  const struct {
    const char *name;
    std::string advice;
  } holders[] = {
      {"ModemManager", " ModemManager probes every new modem port for a few seconds after it appears; the udev rule " +
                           kRule + " keeps it away from the board. Without the rule, wait ten seconds and try again."},
      {"minicom", " Close that program and try again."},
  };
  for (const auto &h : holders) {
    SCOPED_TRACE(h.name);
    BoardSim board;
    const std::string port = board.device_path();
    Holder holder(dir_, h.name, port);
    const ProcessResult r = update(port);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "ERROR: Unable to open serial port " + port + "\n  Port busy: " + port + " is held by process " +
                         std::to_string(holder.pid()) + " (" + h.name + ")." + h.advice + "\n");
  }
}

TEST_F(PortOpen, TheTerminalOrvupRunsInIsRefusedUntouched) {
  // The simulated board's port is made the controlling terminal of orvup's
  // session (setsid -c), then named as /dev/tty.
  BoardSim board;
  const std::string pts = fs::canonical(board.device_path()).string();
  termios before{};
  {
    const int fd = open(pts.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    close(fd);
  }
  const ProcessResult r =
      orvtest::run_process({"sh", "-c", "exec setsid -c -w \"$0\" \"$@\" <" + pts, Target::get().exe(), "--screen-fw",
                            dir_ + "/screen.bin", "--port", "/dev/tty"});
  EXPECT_EQ(r.status, 255);
  const std::string head =
      "ERROR: Unable to open serial port /dev/tty\n  Not the board's port: /dev/tty is the terminal orvup runs in. ";
  EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
  EXPECT_EQ(board.received(), "");
  const int fd = open(pts.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios after{};
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  close(fd);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST_F(PortOpen, AFileThatIsNoPortSaysSo) {
  const ProcessResult r = update(dir_ + "/screen.bin");
  EXPECT_EQ(r.status, 255);
  const std::string head = "ERROR: Error getting state\nERROR: Unable to open serial port " + dir_ +
                           "/screen.bin\n  Not a serial port: " + dir_ + "/screen.bin is not a terminal device. ";
  EXPECT_EQ(r.err.substr(0, head.size()), head);
}

} // namespace
