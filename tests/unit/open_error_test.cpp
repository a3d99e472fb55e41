// The line that says why a port would not open, chosen from what the system
// said. Plain functions: both are checked on both builds.
#include "open-error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

std::string posix_reason(const char *port, const open_facts_posix &facts) {
  char line[OPEN_REASON_SIZE];
  open_reason_posix(port, &facts, line, sizeof(line));
  return line;
}

std::string win32_reason(const char *port, uint32_t error, const char *text, const char *ports) {
  char line[OPEN_REASON_SIZE];
  open_reason_win32(port, error, text, ports, line, sizeof(line));
  return line;
}

open_facts_posix facts(int error, uint32_t mode = 0, const char *group = "", long pid = 0, const char *command = "",
                       const char *ports = nullptr) {
  open_facts_posix f;
  f.error = error;
  f.mode = mode;
  std::snprintf(f.owner, sizeof(f.owner), "%s", group[0] ? "root" : "");
  std::snprintf(f.group, sizeof(f.group), "%s", group);
  f.holder_pid = pid;
  std::snprintf(f.holder_command, sizeof(f.holder_command), "%s", command);
  f.ports_present = ports;
  return f;
}

const char kTwoPorts[] = "/dev/ttyACM1\0/dev/ttyS0\0";

TEST(OpenReason, LinuxSaysWhyAndWhatToDo) {
  const char *rule = "packaging/linux/60-orvup.rules";
  const struct {
    open_facts_posix facts;
    std::string line;
  } cases[] = {
      {facts(EACCES, 020660, "dialout"),
       "  Permission denied: /dev/ttyACM0 is crw-rw----, owner root, group dialout. Join that group (sudo usermod -aG "
       "dialout $USER) and log in again, or install the udev rule " +
           std::string(rule) + ".\n"},
      {facts(EACCES),
       "  Permission denied on /dev/ttyACM0. Join the port's group (ls -l shows it; usually: sudo usermod -aG dialout "
       "$USER) and log in again, or install the udev rule " +
           std::string(rule) + ".\n"},
      {facts(EBUSY, 020660, "dialout", 812, "ModemManager"),
       "  Port busy: /dev/ttyACM0 is held by process 812 (ModemManager). ModemManager probes every new modem port for "
       "a few seconds after it appears; the udev rule " +
           std::string(rule) + " keeps it away from the board. Without the rule, wait ten seconds and try again.\n"},
      {facts(EWOULDBLOCK, 020660, "dialout", 4242, "minicom"),
       "  Port busy: /dev/ttyACM0 is held by process 4242 (minicom). Close that program and try again.\n"},
      {facts(EWOULDBLOCK, 020660, "dialout", 7, "x\x1b[2Jy"),
       "  Port busy: /dev/ttyACM0 is held by process 7 (x\\x1b[2Jy). Close that program and try again.\n"},
      {facts(EBUSY),
       "  Port busy: another program holds /dev/ttyACM0 (sudo fuser -v /dev/ttyACM0 names it). Close that program "
       "and try again.\n"},
      {facts(ENOENT, 0, "", 0, "", kTwoPorts),
       "  No such port: /dev/ttyACM0 does not exist. Ports present: /dev/ttyACM1, /dev/ttyS0.\n"},
      {facts(ENOENT),
       "  No such port: /dev/ttyACM0 does not exist. No serial port is present: is the I/O board plugged in?\n"},
      {facts(ENXIO, 020660, "dialout", 0, "", kTwoPorts),
       "  No such port: /dev/ttyACM0 has no device behind it. Ports present: /dev/ttyACM1, /dev/ttyS0.\n"},
      {facts(ENOTTY, 0100644, "root", 0, "", kTwoPorts),
       "  Not a serial port: /dev/ttyACM0 is not a terminal device. Ports present: /dev/ttyACM1, /dev/ttyS0.\n"},
      {facts(OPEN_ERROR_OWN_TERMINAL, 020620, "tty", 0, "", kTwoPorts),
       "  Not the board's port: /dev/ttyACM0 is the terminal orvup runs in. Ports present: /dev/ttyACM1, "
       "/dev/ttyS0.\n"},
      {facts(EIO), "  The system said: " + std::string(strerror(EIO)) + " (errno " + std::to_string(EIO) + ").\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.facts.error);
    EXPECT_EQ(posix_reason("/dev/ttyACM0", c.facts), c.line);
  }
}

TEST(OpenReason, LinuxShowsAPortNameEscaped) {
  EXPECT_EQ(posix_reason("/tmp/a\nSuccess", facts(ENOENT)),
            "  No such port: /tmp/a\\x0aSuccess does not exist. No serial port is present: is the I/O board plugged "
            "in?\n");
}

TEST(OpenReason, WindowsSaysWhyAndWhatToDo) {
  const char ports[] = "COM1\0COM4\0";
  const struct {
    uint32_t error;
    const char *text;
    const char *ports;
    std::string line;
  } cases[] = {
      {5, "Access is denied.\r\n", ports,
       "  Port in use: another program has COM3 open (a terminal program, another orvup, a vendor tool). Close it and "
       "try again.\n"},
      {2, "The system cannot find the file specified.\r\n", ports,
       "  No such port: COM3 does not exist. Ports present: COM1, COM4.\n"},
      {3, "", nullptr,
       "  No such port: COM3 does not exist. No serial port is present: is the I/O board plugged in?\n"},
      {31, "A device attached to the system is not functioning.\r\n", ports,
       "  Windows error 31: A device attached to the system is not functioning.\n"},
      {1167, "", ports, "  Windows error 1167: (no text for it)\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(win32_reason("COM3", c.error, c.text, c.ports), c.line);
  }
}

} // namespace
