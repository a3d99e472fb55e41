// Finding the BOOTSEL drive on Linux: the mount table, the label of each FAT
// filesystem, and udev's links by label.
#include "drive.h"
#include "functions.h"
#include "mountinfo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kLabel[] = "RPI-RP2";

// The boot ROM formats its drive as FAT. Only such filesystems are asked
// for their label: opening every mount point could wake an automounter or
// block on an unreachable network share.
bool may_be_bootsel_fs(const char *fstype) {
  return std::strcmp(fstype, "vfat") == 0 || std::strcmp(fstype, "msdos") == 0 || std::strcmp(fstype, "exfat") == 0;
}

bool label_reads_bootsel(const char *mount_point) {
#ifdef FS_IOC_GETFSLABEL
  // Does not block on a mounted FAT drive; a drive that vanished gives an
  // error, which counts as "not this one".
  const int fd = open(mount_point, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  char label[FSLABEL_MAX + 1] = {};
  const bool ok = ioctl(fd, FS_IOC_GETFSLABEL, label) == 0;
  close(fd);
  return ok && std::strcmp(label, kLabel) == 0;
#else
  (void)mount_point;
  return false;
#endif
}

// udev names a link after each volume label; it leads to the block device
// whose number the mount table shows.
bool by_label_device(const char *by_label_dir, uint32_t *major_out, uint32_t *minor_out) {
  const std::string link = std::string(by_label_dir) + "/" + kLabel;
  struct stat st;
  if (stat(link.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)))
    return false;
  *major_out = major(st.st_rdev);
  *minor_out = minor(st.st_rdev);
  return true;
}

bool read_mount_table(const char *path, std::vector<mount_entry_t> *entries) {
  std::FILE *f = std::fopen(path, "re");
  if (!f)
    return false;
  char *line = nullptr;
  size_t cap = 0;
  mount_entry_t entry;
  while (getline(&line, &cap, f) >= 0)
    if (mountinfo_parse_line(line, &entry))
      entries->push_back(entry);
  std::free(line);
  (void)std::fclose(f); // read only: a failed close loses nothing
  return true;
}

} // namespace

char *bootsel_find_mount_in(const char *mountinfo_path, const char *by_label_dir) {
  std::vector<mount_entry_t> entries;
  if (!read_mount_table(mountinfo_path, &entries))
    return nullptr;

  uint32_t label_major = 0, label_minor = 0;
  const bool have_label_link = by_label_device(by_label_dir, &label_major, &label_minor);

  const int count = static_cast<int>(entries.size());
  std::unique_ptr<bool[]> is_bootsel(new bool[entries.size() + 1]());
  for (int i = 0; i < count; ++i) {
    const mount_entry_t &e = entries[i];
    is_bootsel[i] = bootsel_name_matches(e.mount_point) ||
                    (have_label_link && e.dev_major == label_major && e.dev_minor == label_minor) ||
                    (may_be_bootsel_fs(e.fstype) && label_reads_bootsel(e.mount_point));
  }
  const int chosen = bootsel_choose(entries.data(), is_bootsel.get(), count);
  if (chosen < 0)
    return nullptr;
  return strdup(entries[chosen].mount_point);
}

char *bootsel_find_mount() { return bootsel_find_mount_in("/proc/self/mountinfo", "/dev/disk/by-label"); }

drive_sync_t drive_sync_file(std::FILE *file, char *why, int32_t why_size) {
  if (std::fflush(file) == 0 && fsync(fileno(file)) == 0)
    return DRIVE_SYNC_OK;
  const int err = errno;
  format_cut(why, static_cast<size_t>(why_size), "%s", std::generic_category().message(err).c_str());
  switch (err) {
  case ENOSPC:
  case EDQUOT:
  case EFBIG:
  case EROFS:
    return DRIVE_SYNC_FAILED;
  default:
    return DRIVE_SYNC_UNCERTAIN;
  }
}
