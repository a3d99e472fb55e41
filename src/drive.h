#pragma once
// The RP2040's BOOTSEL drive: the USB mass-storage drive labelled "RPI-RP2"
// that the I/O board shows once it is rebooted into its boot ROM, and the
// one file written onto it.
#include <cstdint>
#include <cstdio>

// Looks once for the BOOTSEL drive; does not wait. Returns a new heap string
// that the caller frees, or null when there is no such drive (or the string
// cannot be allocated).
//   Windows: the first drive letter, A to Z, whose volume label is exactly
//   "RPI-RP2", as the letter and a colon ("E:").
//   Linux: the mount point of a filesystem labelled "RPI-RP2", or mounted on
//   a folder of that name, as desktops do ("/media/tech/RPI-RP2").
char *bootsel_find_mount();

// Linux only: the same search over a mount table in the format of
// /proc/self/mountinfo and a folder of links named after volume labels, as
// udev keeps in /dev/disk/by-label.
char *bootsel_find_mount_in(const char *mountinfo_path, const char *by_label_dir);

// Every BOOTSEL drive present now, in the search's order (the first is the
// one bootsel_find_mount returns), as a string list (functions.h) that the
// caller releases with string_list_free. An empty list when there is none.
char *bootsel_find_mounts();
// Linux only: the same over a mount table and a folder of label links.
char *bootsel_find_mounts_in(const char *mountinfo_path, const char *by_label_dir);

// Whether a drive found earlier is still there. Does not wait.
//   Windows: its letter still has a volume labelled "RPI-RP2".
//   Linux: its mount is still in the mount table and the block device
//   behind it still exists: the mount of a drive that was pulled out stays
//   in the table until it is cleaned up, but nothing can reach the board
//   through it.
bool bootsel_drive_present(const char *drive);
// Linux only: the same over a mount table and a sysfs tree (/sys).
bool bootsel_drive_present_in(const char *drive, const char *mountinfo_path, const char *sys_root);

// ---- Which board a drive belongs to ----

// Where a device sits on the USB bus, taken before the board reboots from
// its serial port and afterwards from a drive: the boot ROM's drive comes
// back on the USB port the board was on. Linux only (sysfs); elsewhere
// always false. True with the location copied (the sysfs path of the USB
// device, cut to dest_size - 1 characters); false when it is not known.
bool port_usb_location(const char *port, char *dest, int32_t dest_size);
bool drive_usb_location(const char *drive, char *dest, int32_t dest_size);
// Linux only: the same under another sysfs root and mount table.
bool port_usb_location_in(const char *port, const char *sys_root, char *dest, int32_t dest_size);
bool drive_usb_location_in(const char *drive, const char *mountinfo_path, const char *sys_root, char *dest,
                           int32_t dest_size);
// The USB device a sysfs device path lies under: the path up to the first
// USB interface (".../usb1/1-2" for ".../usb1/1-2/1-2:1.0/tty/ttyACM0").
// False, with dest untouched, when the path has no USB interface in it.
bool usb_device_of_sysfs_path(const char *path, char *dest, int32_t dest_size);

// One drive seen during the search for this run's drive.
struct bootsel_seen_t {
  const char *name;
  bool was_there; // among the drives present just before the reboot request
  int usb_match;  // 1: on the board's USB port; -1: on another port; 0: not known
};

// The drive that belongs to this run, among the drives seen (in the
// search's order): the first on the board's USB port when the bus tells;
// otherwise the first that was not there before the reboot request and is
// not known to sit on another port. -1 when none is this board's.
int bootsel_pick(const bootsel_seen_t *seen, int count);

// ---- The one file written onto the drive ----

// The name the image takes on the drive. The boot ROM ignores file names,
// but FAT cannot hold : * ? " < > | or control characters: a download's
// query ("fw.uf2?X-Amz-...") is dropped, any other such character becomes
// '_', trailing dots and blanks go, and an empty result becomes
// "firmware.uf2". At most 255 characters. True when the name had to change.
bool drive_safe_name(const char *name, char *dest, int32_t dest_size);

enum drive_open_t {
  DRIVE_OPEN_OK = 0,
  DRIVE_OPEN_FAILED = 1,       // the file could not be created or opened for writing
  DRIVE_OPEN_NOT_ON_DRIVE = 2, // it could, but not on the drive: the drive went since it was found
};

// Creates (or opens and empties) `target` for writing in binary, once it is
// sure the file lies on the drive found earlier and not, say, in the empty
// folder an unmounted drive leaves behind. Such a file is removed again if
// this call created it, and an existing one there is left as it was.
std::FILE *drive_create_file(const char *drive, const char *target, drive_open_t *result);

enum drive_sync_t {
  DRIVE_SYNC_OK = 0,
  DRIVE_SYNC_FAILED = 1,    // the data did not reach the drive: it is full, read-only, too small
  DRIVE_SYNC_UNCERTAIN = 2, // the drive reported some other error, or vanished
};

// Pushes everything written to `file` out to the drive and waits until the
// drive has it; blocks for as long as the drive takes. On an error the
// system's reason is put into `why` (at most why_size - 1 characters).
drive_sync_t drive_sync_file(std::FILE *file, char *why, int32_t why_size);
