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

namespace {

// The BOOTSEL drives of a mount table, best first, as indexes into it.
std::vector<int> bootsel_entries(const std::vector<mount_entry_t> &entries, const char *by_label_dir) {
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
  std::vector<int> order(entries.size() + 1);
  order.resize(static_cast<size_t>(bootsel_order(entries.data(), is_bootsel.get(), count, order.data())));
  return order;
}

// The entry through which `mount_point` is reached now: the last mount on
// it. Null when nothing is mounted there.
const mount_entry_t *visible_mount(const std::vector<mount_entry_t> &entries, const char *mount_point) {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    if (std::strcmp(it->mount_point, mount_point) == 0)
      return &*it;
  return nullptr;
}

std::string block_device_link(const char *sys_root, uint32_t dev_major, uint32_t dev_minor) {
  return std::string(sys_root) + "/dev/block/" + std::to_string(dev_major) + ":" + std::to_string(dev_minor);
}

bool usb_location_of(const std::string &sysfs_link, char *dest, int32_t dest_size) {
  char *real = realpath(sysfs_link.c_str(), nullptr);
  if (!real)
    return false;
  const bool found = usb_device_of_sysfs_path(real, dest, dest_size);
  std::free(real);
  return found;
}

} // namespace

char *bootsel_find_mount_in(const char *mountinfo_path, const char *by_label_dir) {
  std::vector<mount_entry_t> entries;
  if (!read_mount_table(mountinfo_path, &entries))
    return nullptr;
  const std::vector<int> order = bootsel_entries(entries, by_label_dir);
  if (order.empty())
    return nullptr;
  return strdup(entries[order[0]].mount_point);
}

char *bootsel_find_mount() { return bootsel_find_mount_in("/proc/self/mountinfo", "/dev/disk/by-label"); }

char *bootsel_find_mounts_in(const char *mountinfo_path, const char *by_label_dir) {
  char *list = nullptr, *end = nullptr;
  string_list_init(&list, &end);
  std::vector<mount_entry_t> entries;
  if (!read_mount_table(mountinfo_path, &entries))
    return list;
  for (int i : bootsel_entries(entries, by_label_dir))
    string_list_add(&list, &end, entries[i].mount_point);
  return list;
}

char *bootsel_find_mounts() { return bootsel_find_mounts_in("/proc/self/mountinfo", "/dev/disk/by-label"); }

bool bootsel_drive_present_in(const char *drive, const char *mountinfo_path, const char *sys_root) {
  std::vector<mount_entry_t> entries;
  if (!read_mount_table(mountinfo_path, &entries))
    return true; // no table to tell by: not evidence that the drive went
  const mount_entry_t *e = visible_mount(entries, drive);
  if (!e)
    return false;
  // Major 0 is a filesystem with no block device behind it (tmpfs, FUSE).
  if (e->dev_major == 0)
    return true;
  struct stat st;
  return stat(block_device_link(sys_root, e->dev_major, e->dev_minor).c_str(), &st) == 0;
}

bool bootsel_drive_present(const char *drive) {
  return bootsel_drive_present_in(drive, "/proc/self/mountinfo", "/sys");
}

bool port_usb_location_in(const char *port, const char *sys_root, char *dest, int32_t dest_size) {
  // --port may be a by-id or by-path link; sysfs knows the node's own name.
  char *node = realpath(port, nullptr);
  if (!node)
    return false;
  const char *slash = std::strrchr(node, '/');
  const std::string name = slash ? slash + 1 : node;
  std::free(node);
  return usb_location_of(std::string(sys_root) + "/class/tty/" + name + "/device", dest, dest_size);
}

bool port_usb_location(const char *port, char *dest, int32_t dest_size) {
  return port_usb_location_in(port, "/sys", dest, dest_size);
}

bool drive_usb_location_in(const char *drive, const char *mountinfo_path, const char *sys_root, char *dest,
                           int32_t dest_size) {
  std::vector<mount_entry_t> entries;
  if (!read_mount_table(mountinfo_path, &entries))
    return false;
  const mount_entry_t *e = visible_mount(entries, drive);
  if (!e || e->dev_major == 0)
    return false;
  return usb_location_of(block_device_link(sys_root, e->dev_major, e->dev_minor), dest, dest_size);
}

bool drive_usb_location(const char *drive, char *dest, int32_t dest_size) {
  return drive_usb_location_in(drive, "/proc/self/mountinfo", "/sys", dest, dest_size);
}

std::FILE *drive_create_file(const char *drive, const char *target, drive_open_t *result) {
  *result = DRIVE_OPEN_FAILED;
  // Created without emptying first: a file that turns out not to be on the
  // drive is then never one that had content before.
  bool created = true;
  int fd = open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = open(target, O_WRONLY | O_CLOEXEC);
  }
  if (fd < 0)
    return nullptr;
  std::vector<mount_entry_t> entries;
  const mount_entry_t *e = nullptr;
  struct stat st;
  if (read_mount_table("/proc/self/mountinfo", &entries))
    e = visible_mount(entries, drive);
  if (!e || fstat(fd, &st) != 0 || major(st.st_dev) != e->dev_major || minor(st.st_dev) != e->dev_minor) {
    if (created)
      unlink(target);
    close(fd);
    *result = DRIVE_OPEN_NOT_ON_DRIVE;
    return nullptr;
  }
  // Emptied only now that it is known to be the drive's (a device stands in
  // for a drive in tests, and has nothing to empty).
  const bool emptied = !S_ISREG(st.st_mode) || ftruncate(fd, 0) == 0;
  std::FILE *f = emptied ? fdopen(fd, "wb") : nullptr;
  if (!f) {
    close(fd);
    return nullptr;
  }
  *result = DRIVE_OPEN_OK;
  return f;
}

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
