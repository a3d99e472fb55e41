// Opening a firmware file on a POSIX system.
#include "functions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE *regular_file_open(const char *path, int64_t *size) {
  // A device named by mistake is not opened at all: opening the board's own
  // serial port could reset it.
  struct stat seen;
  if (stat(path, &seen) != 0 || !S_ISREG(seen.st_mode))
    return nullptr;
  // Not blocking, so that a FIFO put in the file's place meanwhile cannot
  // hold the open until a writer comes; what counts is what the open file is.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  struct stat opened;
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE *file = fdopen(fd, "rb");
  if (!file) {
    close(fd);
    return nullptr;
  }
  *size = static_cast<int64_t>(opened.st_size);
  return file;
}
