// Opening a firmware file on Windows.
#include "functions.h"

#include <sys/stat.h>

std::FILE *regular_file_open(const char *path, int64_t *size) {
  // Binary: a text-mode read would turn the image's CR LF pairs into LF and
  // stop at its first Ctrl-Z. A directory does not open at all.
  std::FILE *file = std::fopen(path, "rb");
  if (!file)
    return nullptr;
  // A device name (NUL, CON, COM3) opens too, as a character device: it is
  // no image and is never read.
  struct _stat64 opened;
  if (_fstat64(_fileno(file), &opened) != 0 || (opened.st_mode & _S_IFMT) != _S_IFREG) {
    (void)std::fclose(file); // not read: a failed close loses nothing
    return nullptr;
  }
  *size = static_cast<int64_t>(opened.st_size);
  return file;
}
