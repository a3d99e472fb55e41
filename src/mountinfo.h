#pragma once
// Reading the Linux mount table (/proc/self/mountinfo) to find the RP2040's
// BOOTSEL drive. Pure text handling: the file is read, and labels are asked
// of the system, in drive-linux.cpp.
#include <cstdint>

// One line of the mount table, with the escapes in its paths decoded.
struct mount_entry_t {
  uint32_t dev_major;     // the filesystem's device number: one drive mounted
  uint32_t dev_minor;     // twice shows the same pair on both lines
  char root[1024];        // the folder of that filesystem seen at the mount point ("/" for all of it)
  char mount_point[1024]; // where the filesystem is reachable
  char fstype[64];
};

// Decodes the kernel's octal escapes (\040 blank, \011 tab, \012 line feed,
// \134 backslash) in place. Anything else, a lone backslash included, is
// kept as it is.
void mountinfo_unescape(char *s);

// Parses one line of /proc/self/mountinfo (without or with its line feed).
// False for a line that does not have the table's shape or whose paths do
// not fit; `out` is then unspecified.
bool mountinfo_parse_line(const char *line, mount_entry_t *out);

// Desktops mount a drive on a folder named after its label
// (/media/USER/RPI-RP2, /run/media/USER/RPI-RP2): true when the last
// component of the mount point is exactly "RPI-RP2".
bool bootsel_name_matches(const char *mount_point);

// Chooses among the mount table's entries, in table order, those that
// `is_bootsel[i]` marks as the BOOTSEL drive. An entry hidden by a later
// mount on the same folder is passed over. Mounts of a whole filesystem come
// before binds of a folder inside one; then the mount point that sorts first
// wins, so the choice does not depend on the order things were mounted in,
// and a drive mounted on two folders counts once. Returns the index of the
// chosen entry, or -1.
int bootsel_choose(const mount_entry_t *entries, const bool *is_bootsel, int count);

// Every BOOTSEL drive among the entries, in the order bootsel_choose
// prefers them (its choice first): fills `order` (room for `count`) with
// entry indexes and returns how many. A drive mounted on two folders is
// listed once, by the entry bootsel_choose would take.
int bootsel_order(const mount_entry_t *entries, const bool *is_bootsel, int count, int *order);
