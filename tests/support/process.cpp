#include "process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace orvtest {
namespace {

std::vector<std::string> build_env(const ProcessOptions &opts) {
  std::map<std::string, std::string> merged;
  for (char **e = environ; *e; ++e) {
    const char *eq = std::strchr(*e, '=');
    if (eq)
      merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto &name : opts.unset_env)
    merged.erase(name);
  for (const auto &[k, v] : opts.env)
    merged[k] = v;
  std::vector<std::string> out;
  for (const auto &[k, v] : merged)
    out.push_back(k + "=" + v);
  return out;
}

std::vector<char *> c_strings(std::vector<std::string> &strings) {
  std::vector<char *> ptrs;
  for (auto &s : strings)
    ptrs.push_back(s.data());
  ptrs.push_back(nullptr);
  return ptrs;
}

// Reads what the descriptor holds into *sink. False once it reached its end
// or failed: the caller closes it.
bool read_into(int fd, std::string *sink) {
  char buf[65536];
  const ssize_t got = read(fd, buf, sizeof buf);
  if (got > 0) {
    sink->append(buf, static_cast<size_t>(got));
    return true;
  }
  return got < 0 && errno == EINTR;
}

// Starts the program in a process group of its own, so a time-out can kill
// it and anything it started (wine's helpers) together; standard input from
// /dev/null, output and error onto the given descriptors. Returns 0 with
// *pid set, or the error posix_spawn gave.
int spawn_in_own_group(const std::vector<std::string> &argv_in, const ProcessOptions &opts, int out_fd, int err_fd,
                       pid_t *pid) {
  std::vector<std::string> argv_copy = argv_in;
  std::vector<std::string> env_copy = build_env(opts);
  auto argv = c_strings(argv_copy);
  auto envp = c_strings(env_copy);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  if (!opts.cwd.empty())
    posix_spawn_file_actions_addchdir_np(&actions, opts.cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  const int rc = posix_spawnp(pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc;
}

} // namespace

ProcessResult run_process(const std::vector<std::string> &argv_in, const ProcessOptions &opts) {
  ProcessResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0)
    return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }

  pid_t pid = -1;
  const int rc = spawn_in_own_group(argv_in, opts, out_pipe[1], opts.merge_err ? out_pipe[1] : err_pipe[1], &pid);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err = std::string("spawn failed: ") + std::strerror(rc);
    return result;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opts.timeout_ms);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_fds = 2;
  while (open_fds > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
      break;
    }
    const int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR)
      continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      if (!read_into(fds[i].fd, sinks[i])) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0)
      close(f.fd);

  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (!result.timed_out && WIFEXITED(wstatus))
    result.status = WEXITSTATUS(wstatus);
  return result;
}

} // namespace orvtest

namespace orvtest {

RunningProcess::RunningProcess(const std::vector<std::string> &argv_in, const ProcessOptions &opts, OutputSink sink) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0)
    return;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return;
  }
  // A reader gone before the first byte: every write gets EPIPE.
  if (sink == OutputSink::closed) {
    close(out_pipe[0]);
    out_pipe[0] = -1;
  }
  if (sink == OutputSink::err_closed) {
    close(err_pipe[0]);
    err_pipe[0] = -1;
  }
  hold_out_ = sink == OutputSink::held;

  pid_t pid = -1;
  const int rc = spawn_in_own_group(argv_in, opts, out_pipe[1], err_pipe[1], &pid);
  close(out_pipe[1]);
  close(err_pipe[1]);
  fds_[0] = out_pipe[0];
  fds_[1] = err_pipe[0];
  if (rc != 0) {
    result_.err = std::string("spawn failed: ") + std::strerror(rc);
    return;
  }
  pid_ = pid;
}

RunningProcess::~RunningProcess() {
  if (pid_ > 0 && !exited_) {
    kill(-pid_, SIGKILL);
    while (waitpid(pid_, &wstatus_, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : fds_)
    if (fd >= 0)
      close(fd);
}

bool RunningProcess::pump(int timeout_ms) {
  pollfd fds[2] = {{hold_out_ ? -1 : fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  if (fds[0].fd < 0 && fds[1].fd < 0) {
    // Nothing to read: only the program's end is awaited.
    if (!exited_ && waitpid(pid_, &wstatus_, WNOHANG) == pid_)
      exited_ = true;
    if (!exited_)
      poll(nullptr, 0, std::min(timeout_ms, 20));
    return !exited_ || (!hold_out_ && fds_[0] >= 0);
  }
  const int n = poll(fds, 2, timeout_ms);
  if (n <= 0)
    return true;
  std::string *sinks[2] = {&result_.out, &result_.err};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
      continue;
    if (!read_into(fds[i].fd, sinks[i])) {
      close(fds_[i]);
      fds_[i] = -1;
    }
  }
  return fds_[0] >= 0 || fds_[1] >= 0;
}

bool RunningProcess::wait_for(const std::string &text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (result_.out.find(text) != std::string::npos || result_.err.find(text) != std::string::npos)
      return true;
    if (!pump(50) && fds_[0] < 0 && fds_[1] < 0)
      return result_.out.find(text) != std::string::npos || result_.err.find(text) != std::string::npos;
  }
  return false;
}

bool RunningProcess::running_after(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!exited_ && std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid_, &wstatus_, WNOHANG) == pid_) {
      exited_ = true;
      break;
    }
    pump(20);
  }
  return !exited_;
}

void RunningProcess::signal(int sig) {
  if (pid_ > 0 && !exited_)
    kill(pid_, sig);
}

ProcessResult RunningProcess::finish(int timeout_ms) {
  hold_out_ = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (fds_[0] >= 0 || fds_[1] >= 0 || !exited_) {
    if (std::chrono::steady_clock::now() >= deadline) {
      result_.timed_out = true;
      kill(-pid_, SIGKILL);
      break;
    }
    if (!exited_ && waitpid(pid_, &wstatus_, WNOHANG) == pid_)
      exited_ = true;
    pump(50);
  }
  if (!exited_)
    while (waitpid(pid_, &wstatus_, 0) < 0 && errno == EINTR) {
    }
  exited_ = true;
  if (!result_.timed_out && WIFEXITED(wstatus_))
    result_.status = WEXITSTATUS(wstatus_);
  return result_;
}

} // namespace orvtest
