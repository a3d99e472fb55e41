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

enum drive_sync_t {
  DRIVE_SYNC_OK = 0,
  DRIVE_SYNC_FAILED = 1,    // the data did not reach the drive: it is full, read-only, too small
  DRIVE_SYNC_UNCERTAIN = 2, // the drive reported some other error, or vanished
};

// Pushes everything written to `file` out to the drive and waits until the
// drive has it; blocks for as long as the drive takes. On an error the
// system's reason is put into `why` (at most why_size - 1 characters).
drive_sync_t drive_sync_file(std::FILE *file, char *why, int32_t why_size);
