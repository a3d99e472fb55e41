#pragma once
// Runs a program the way a user's shell does and collects what it printed.
#include <map>
#include <string>
#include <vector>

namespace orvtest {

struct ProcessResult {
  int status = -1;        // exit status as the shell sees it (0..255); -1 when killed or not started
  bool timed_out = false; // killed after the time limit
  std::string out;        // everything written to standard output
  std::string err;        // everything written to standard error
};

struct ProcessOptions {
  std::map<std::string, std::string> env; // added to (or replacing) the test's environment
  std::vector<std::string> unset_env;     // removed from the environment
  int timeout_ms = 60000;                 // the child is killed (SIGKILL) after this long
  std::string cwd;                        // empty: the test's working directory
  bool merge_err = false;                 // standard error goes into `out` too, as in "2>&1"
};

ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &opts = {});

} // namespace orvtest
