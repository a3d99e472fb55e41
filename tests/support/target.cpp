#include "target.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

namespace orvtest {

// COM names mapped by tests/wine/wine-prefix.sh; keep the two in step.
constexpr int kFirstWinePort = 5;
constexpr int kLastWinePort = 24;

const Target &Target::get() {
  static const Target target = [] {
    Target t;
    const char *exe = std::getenv("ORVUP_EXE");
    if (!exe || !*exe)
      throw std::runtime_error("ORVUP_EXE is not set: run the end-to-end tests through ctest");
    t.exe_ = exe;
    if (t.exe_.size() > 4 && t.exe_.compare(t.exe_.size() - 4, 4, ".exe") == 0)
      t.wine_root_ = ORVUP_WINE_ROOT;
    return t;
  }();
  return target;
}

std::string crlf_to_lf(const std::string &s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')
      continue;
    out.push_back(s[i]);
  }
  return out;
}

void Target::add_wine_env(ProcessOptions &opts) const {
  opts.env["WINEPREFIX"] = wine_root_ + "/prefix";
  opts.env["WINEDEBUG"] = "-all";
  opts.env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winedbg.exe=d";
  opts.unset_env.push_back("DISPLAY");
  opts.unset_env.push_back("WAYLAND_DISPLAY");
}

std::vector<std::string> Target::command(const std::vector<std::string> &args, ProcessOptions &opts) const {
  std::vector<std::string> argv;
  if (wine()) {
    add_wine_env(opts);
    argv.push_back("wine");
  }
  argv.push_back(exe_);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

ProcessResult Target::run(const std::vector<std::string> &args, ProcessOptions opts) const {
  const std::vector<std::string> argv = command(args, opts);
  ProcessResult r = run_process(argv, opts);
  if (wine()) {
    r.out = crlf_to_lf(r.out);
    r.err = crlf_to_lf(r.err);
  }
  return r;
}

std::unique_ptr<RunningProcess> Target::start(const std::vector<std::string> &args, ProcessOptions opts,
                                              OutputSink sink) const {
  const std::vector<std::string> argv = command(args, opts);
  return std::make_unique<RunningProcess>(argv, opts, sink);
}

PortSlot::PortSlot() {
  const Target &t = Target::get();
  if (!t.wine())
    return;
  for (int n = kFirstWinePort; n <= kLastWinePort; ++n) {
    const std::string base = t.wine_root() + "/ports/COM" + std::to_string(n);
    const int fd = open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
      continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      lock_fd_ = fd;
      name_ = "COM" + std::to_string(n);
      link_ = base;
      return;
    }
    close(fd);
  }
  throw std::runtime_error("no free COM port slot in the Wine prefix");
}

PortSlot::~PortSlot() {
  if (!link_.empty())
    unlink(link_.c_str());
  if (lock_fd_ >= 0)
    close(lock_fd_);
}

void PortSlot::point_at(const std::string &device_path) {
  if (link_.empty()) {
    name_ = device_path;
    return;
  }
  // Replace the link in one step, so the program never finds it missing.
  const std::string tmp = link_ + ".new";
  unlink(tmp.c_str());
  if (symlink(device_path.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link_.c_str()) != 0)
    throw std::runtime_error("cannot point " + link_ + " at " + device_path);
}

} // namespace orvtest
