// The parts of the BOOTSEL drive's handling that need no operating system:
// which drive is this board's, and the name the image takes on it.
#include "drive.h"
#include "functions.h"

#include <cstdio>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A USB interface in sysfs is named BUS-PORTS:CONFIG.INTERFACE, with PORTS
// a dot-separated chain through hubs ("1-2:1.0", "3-1.4.2:1.1").
bool is_usb_interface(const char *name, size_t len) {
  size_t i = 0;
  auto digits = [&] {
    const size_t start = i;
    while (i < len && is_digit(name[i]))
      ++i;
    return i > start;
  };
  if (!digits() || i >= len || name[i++] != '-' || !digits())
    return false;
  while (i < len && name[i] == '.') {
    ++i;
    if (!digits())
      return false;
  }
  if (i >= len || name[i++] != ':' || !digits() || i >= len || name[i++] != '.' || !digits())
    return false;
  return i == len;
}

bool forbidden_on_fat(unsigned char c) { return c < 32 || c == 127 || std::strchr(":*?\"<>|\\/", c) != nullptr; }

} // namespace

bool usb_device_of_sysfs_path(const char *path, char *dest, int32_t dest_size) {
  for (const char *p = path; *p;) {
    const char *end = std::strchr(p, '/');
    const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (p > path && is_usb_interface(p, len)) {
      size_t keep = static_cast<size_t>(p - path);
      while (keep > 1 && path[keep - 1] == '/')
        --keep;
      if (dest_size < 1)
        return false;
      if (keep > static_cast<size_t>(dest_size - 1))
        keep = static_cast<size_t>(dest_size - 1);
      std::memcpy(dest, path, keep);
      dest[keep] = '\0';
      return true;
    }
    if (!end)
      break;
    p = end + 1;
  }
  return false;
}

int bootsel_pick(const bootsel_seen_t *seen, int count) {
  for (int i = 0; i < count; ++i)
    if (seen[i].usb_match > 0)
      return i;
  for (int i = 0; i < count; ++i)
    if (!seen[i].was_there && seen[i].usb_match == 0)
      return i;
  return -1;
}

bool drive_safe_name(const char *name, char *dest, int32_t dest_size) {
  if (dest_size < 1)
    return false;
  constexpr size_t kFatNameMax = 255;
  size_t len = std::strlen(name);
  // A query after the file name is the server's, not the file's.
  const char *query = std::strchr(name, '?');
  if (query && query > name)
    len = static_cast<size_t>(query - name);
  size_t limit = static_cast<size_t>(dest_size - 1);
  if (limit > kFatNameMax)
    limit = kFatNameMax;
  size_t n = 0;
  for (size_t i = 0; i < len && n < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    dest[n++] = forbidden_on_fat(c) ? '_' : static_cast<char>(c);
  }
  while (n > 0 && (dest[n - 1] == '.' || dest[n - 1] == ' '))
    --n;
  dest[n] = '\0';
  if (n == 0)
    copy_cut(dest, dest_size, "firmware.uf2");
  return std::strcmp(dest, name) != 0;
}
