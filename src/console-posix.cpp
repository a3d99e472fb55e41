#include "console.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

void console_claim_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // The lowest free number is this one: those below it are open by now.
    const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

void console_init() {}
void console_restore() {}
void console_restore_code_page() {}

bool console_write_progress(const char *text) {
  // Asked without waiting. The descriptor itself stays blocking: its open
  // file is shared with the shell and whatever runs after us. A pipe with
  // room for one more page takes a line at once.
  pollfd p{1, POLLOUT, 0};
  const int n = poll(&p, 1, 0);
  if (n == 0 || (n < 0 && errno == EINTR))
    return false;
  std::fputs(text, stdout);
  std::fflush(stdout);
  return true;
}

void console_progress_settle() {}
