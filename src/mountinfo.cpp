#include "mountinfo.h"

#include <cstdio>
#include <cstring>

namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// Copies the next blank-separated field of `*cursor` into `dest` and moves
// the cursor past it. False when there is no field or it does not fit.
bool next_field(const char **cursor, char *dest, size_t dest_size) {
  const char *p = *cursor;
  while (*p == ' ')
    ++p;
  const char *start = p;
  while (*p && *p != ' ' && *p != '\n')
    ++p;
  const size_t len = static_cast<size_t>(p - start);
  if (len == 0 || len >= dest_size)
    return false;
  std::memcpy(dest, start, len);
  dest[len] = '\0';
  *cursor = p;
  return true;
}

bool parse_device(const char *text, uint32_t *major, uint32_t *minor) {
  unsigned long a = 0, b = 0;
  char tail = 0;
  if (std::sscanf(text, "%lu:%lu%c", &a, &b, &tail) != 2)
    return false;
  *major = static_cast<uint32_t>(a);
  *minor = static_cast<uint32_t>(b);
  return true;
}

} // namespace

void mountinfo_unescape(char *s) {
  char *out = s;
  for (const char *in = s; *in;) {
    if (in[0] == '\\' && is_octal(in[1]) && is_octal(in[2]) && is_octal(in[3])) {
      const int value = (in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0');
      if (value > 0 && value < 256) {
        *out++ = static_cast<char>(value);
        in += 4;
        continue;
      }
    }
    *out++ = *in++;
  }
  *out = '\0';
}

bool mountinfo_parse_line(const char *line, mount_entry_t *out) {
  // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue"
  // mount id, parent id, major:minor, root, mount point, options, optional
  // fields up to a lone "-", then filesystem type, source, super options.
  char field[1024];
  const char *p = line;
  if (!next_field(&p, field, sizeof field))
    return false; // mount id
  if (!next_field(&p, field, sizeof field))
    return false; // parent id
  if (!next_field(&p, field, sizeof field) || !parse_device(field, &out->dev_major, &out->dev_minor))
    return false;
  if (!next_field(&p, out->root, sizeof out->root))
    return false;
  if (!next_field(&p, out->mount_point, sizeof out->mount_point))
    return false;
  if (!next_field(&p, field, sizeof field))
    return false; // mount options
  for (;;) {
    if (!next_field(&p, field, sizeof field))
      return false;
    if (std::strcmp(field, "-") == 0)
      break;
  }
  if (!next_field(&p, out->fstype, sizeof out->fstype))
    return false;
  mountinfo_unescape(out->root);
  mountinfo_unescape(out->mount_point);
  mountinfo_unescape(out->fstype);
  return true;
}

bool bootsel_name_matches(const char *mount_point) {
  const char *last = std::strrchr(mount_point, '/');
  return std::strcmp(last ? last + 1 : mount_point, "RPI-RP2") == 0;
}

namespace {

bool hidden_by_later_mount(const mount_entry_t *entries, int count, int i) {
  for (int j = i + 1; j < count; ++j)
    if (std::strcmp(entries[j].mount_point, entries[i].mount_point) == 0)
      return true;
  return false;
}

bool whole_filesystem(const mount_entry_t *e) { return std::strcmp(e->root, "/") == 0; }

// True when `a` is the better way to reach a BOOTSEL drive than `b`. A bind
// of a folder inside a drive is not the drive's root: a file copied there
// would not land where the RP2040 looks, so it comes last. A drive mounted
// twice thus counts once, through its whole-filesystem mount.
bool better(const mount_entry_t *a, const mount_entry_t *b) {
  if (whole_filesystem(a) != whole_filesystem(b))
    return whole_filesystem(a);
  return std::strcmp(a->mount_point, b->mount_point) < 0;
}

} // namespace

int bootsel_order(const mount_entry_t *entries, const bool *is_bootsel, int count, int *order) {
  int n = 0;
  for (int i = 0; i < count; ++i) {
    if (!is_bootsel[i] || hidden_by_later_mount(entries, count, i))
      continue;
    // A drive mounted on two folders is one drive: it keeps its better way in.
    int same = -1;
    for (int k = 0; k < n; ++k)
      if (entries[order[k]].dev_major == entries[i].dev_major && entries[order[k]].dev_minor == entries[i].dev_minor)
        same = k;
    if (same >= 0) {
      if (!better(&entries[i], &entries[order[same]]))
        continue;
      for (int k = same; k + 1 < n; ++k)
        order[k] = order[k + 1];
      --n;
    }
    int at = n;
    while (at > 0 && better(&entries[i], &entries[order[at - 1]])) {
      order[at] = order[at - 1];
      --at;
    }
    order[at] = i;
    ++n;
  }
  return n;
}

int bootsel_choose(const mount_entry_t *entries, const bool *is_bootsel, int count) {
  int best = -1;
  for (int i = 0; i < count; ++i) {
    if (!is_bootsel[i] || hidden_by_later_mount(entries, count, i))
      continue;
    if (best < 0 || better(&entries[i], &entries[best]))
      best = i;
  }
  return best;
}
