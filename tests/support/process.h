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

// What becomes of the program's standard output while it runs in the
// background.
enum class OutputSink {
  read,      // read as it comes, as run_process does
  held,      // a pipe nobody reads until drain() (a stuck log shipper, a paused pager)
  closed,    // a pipe whose reader has gone before the first byte (`| head -1`)
  err_closed // standard error to such a pipe, standard output read
};

// A program started in the background, for tests that act on it while it
// runs: signal it, wait for a line of its output, leave its output unread.
class RunningProcess {
public:
  RunningProcess(const std::vector<std::string> &argv, const ProcessOptions &opts, OutputSink sink);
  ~RunningProcess(); // a program still running is killed
  RunningProcess(const RunningProcess &) = delete;
  RunningProcess &operator=(const RunningProcess &) = delete;

  bool started() const { return pid_ > 0; }
  // Reads what the program printed until `text` shows on either stream;
  // false when timeout_ms pass or the program ends first.
  bool wait_for(const std::string &text, int timeout_ms);
  // Whether the program is still running after waiting up to timeout_ms.
  bool running_after(int timeout_ms);
  void signal(int sig);
  // From now on standard output is read like the other stream.
  void drain() { hold_out_ = false; }
  // Reads both streams to their end and waits for the program (killed after
  // timeout_ms); the result as run_process gives it.
  ProcessResult finish(int timeout_ms);

private:
  bool pump(int timeout_ms); // one poll and read; false once both streams ended
  int pid_ = -1;
  int fds_[2] = {-1, -1};
  bool hold_out_ = false;
  bool exited_ = false;
  int wstatus_ = 0;
  ProcessResult result_;
};

} // namespace orvtest
