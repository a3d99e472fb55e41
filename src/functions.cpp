#include "functions.h"

#include "timer.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

int64_t regular_file_size(const char *path) {
  std::error_code ec;
  const std::filesystem::path fs_path(path);
  if (!std::filesystem::is_regular_file(fs_path, ec) || ec)
    return -1;
  const std::uintmax_t size = std::filesystem::file_size(fs_path, ec);
  if (ec || size > static_cast<std::uintmax_t>(INT64_MAX))
    return -1;
  return static_cast<int64_t>(size);
}

int32_t load_file(const char *path, uint8_t **out) {
  // Only a regular file is an image. Opening a FIFO would wait for a writer
  // that may never come, and a directory or a device has no size to trust.
  // The size is checked at full width: a file of 4 GiB and one byte must not
  // pass for a file of one byte.
  const int64_t size = regular_file_size(path);
  if (size <= 0 || size > INT32_MAX)
    return -1;
  std::FILE *f = std::fopen(path, "rb");
  if (!f)
    return -1;
  auto *buffer = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(size)));
  if (!buffer) {
    (void)std::fclose(f); // read only: a failed close loses nothing
    return -1;
  }
  const size_t got = std::fread(buffer, 1, static_cast<size_t>(size), f);
  (void)std::fclose(f); // read only: a failed close loses nothing
  if (got != static_cast<size_t>(size)) {
    std::free(buffer);
    return -1;
  }
  *out = buffer;
  return static_cast<int32_t>(size);
}

image_t image_load(const char *path) {
  image_t image;
  uint8_t *bytes = nullptr;
  image.size = load_file(path, &bytes);
  image.bytes.reset(bytes);
  return image;
}

void wait_ms(int32_t ms) {
  // Sleep towards the deadline rather than spin: these waits sit between
  // polls of the board and last up to 250 ms, and a technician's laptop
  // should not burn a core on them. It still returns only once
  // time_reached agrees that the time has passed.
  const int32_t start = get_absolute_time();
  while (!time_reached(start, ms)) {
    int32_t left = ms - timer_elapsed_ms(start);
    if (left < 1)
      left = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(left));
  }
}

namespace {
// A port list is a handful of short names. When even those bytes cannot be
// had, the list stays well formed (possibly null, which readers take as the
// empty list) and the user is told, rather than reading half a list.
void report_out_of_memory() { std::fputs("ERROR: Unable to allocate memory\n", stderr); }
} // namespace

void string_list_init(char **list, char **end) {
  char *block = static_cast<char *>(std::malloc(1));
  if (!block) {
    report_out_of_memory();
    *list = *end = nullptr;
    return;
  }
  block[0] = '\0';
  *list = block;
  *end = block + 1;
}

void string_list_add(char **list, char **end, const char *s) {
  if (!*list) {
    string_list_init(list, end);
    if (!*list)
      return;
  }
  const size_t n = std::strlen(s) + 1;
  const size_t used = static_cast<size_t>(*end - *list);
  char *block = static_cast<char *>(std::realloc(*list, used + n));
  if (!block) {
    report_out_of_memory();
    return;
  }
  std::memcpy(block + used - 1, s, n);
  block[used + n - 1] = '\0';
  *list = block;
  *end = block + used + n;
}

void string_list_free(char *list) { std::free(list); }

void copy_cut(char *dest, int dest_size, const char *src) {
  if (dest_size < 1)
    return;
  size_t n = std::strlen(src);
  if (n > static_cast<size_t>(dest_size) - 1)
    n = static_cast<size_t>(dest_size) - 1;
  std::memcpy(dest, src, n);
  dest[n] = '\0';
}

void format_cut(char *dest, size_t dest_size, const char *format, ...) {
  if (dest_size == 0)
    return;
  va_list args;
  va_start(args, format);
  // A negative count (an encoding error) leaves no text rather than whatever
  // the call may have written.
  if (std::vsnprintf(dest, dest_size, format, args) < 0)
    dest[0] = '\0';
  va_end(args);
}
