#include "process.h"

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

  std::vector<std::string> argv_copy = argv_in;
  std::vector<std::string> env_copy = build_env(opts);
  auto argv = c_strings(argv_copy);
  auto envp = c_strings(env_copy);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, opts.merge_err ? out_pipe[1] : err_pipe[1], 2);
  if (!opts.cwd.empty())
    posix_spawn_file_actions_addchdir_np(&actions, opts.cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group, so a time-out can kill the program and anything
  // it started (wine's helpers) together.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);

  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
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
      char buf[65536];
      const ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
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
