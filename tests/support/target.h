#pragma once
// The orvup program under test: the native Linux build, or the Windows build
// run under Wine. Chosen by the environment that CTest sets:
//   ORVUP_EXE   path of orvup, or of orvup.exe, which then runs under Wine
//               in the prefix that tests/wine/wine-prefix.sh made in the
//               build's wine/ folder (prefix/ and ports/)
#include "process.h"

#include <memory>
#include <string>
#include <vector>

namespace orvtest {

class Target {
public:
  static const Target &get();

  bool wine() const { return !wine_root_.empty(); }
  const std::string &exe() const { return exe_; }
  const std::string &wine_root() const { return wine_root_; }

  // Runs orvup with these arguments. Under Wine, "\r\n" in both streams is
  // turned back into "\n" (a lone "\r", as in the progress line, stays).
  ProcessResult run(const std::vector<std::string> &args, ProcessOptions opts = {}) const;
  // Starts orvup in the background (under Wine: the line ends of its result
  // are left as they come).
  std::unique_ptr<RunningProcess> start(const std::vector<std::string> &args, ProcessOptions opts,
                                        OutputSink sink = OutputSink::read) const;

  // The environment a Wine process of this prefix needs.
  void add_wine_env(ProcessOptions &opts) const;

private:
  // The command line that runs the program under test with these arguments
  // (through wine for the Windows build, whose environment it adds to opts).
  std::vector<std::string> command(const std::vector<std::string> &args, ProcessOptions &opts) const;
  std::string exe_;
  std::string wine_root_;
};

// A serial port name that the program under test can be given with --port,
// standing for a device path on this machine (a pseudo-terminal or a link).
// Natively the name is the path itself. Under Wine it is one of the COM names
// that the prefix maps onto a link in <wine root>/ports; the slot is held
// (flock) for the lifetime of this object so parallel tests never share one.
class PortSlot {
public:
  PortSlot();
  ~PortSlot();
  PortSlot(const PortSlot &) = delete;
  PortSlot &operator=(const PortSlot &) = delete;

  // Makes the name given to the program reach `device_path`.
  void point_at(const std::string &device_path);
  // The --port argument for the program under test.
  const std::string &name() const { return name_; }

private:
  std::string name_;
  std::string link_; // Wine only: the link the COM name is mapped onto
  int lock_fd_ = -1;
};

std::string crlf_to_lf(const std::string &s);

} // namespace orvtest
