// Finding the BOOTSEL drive on Windows: the drive letters present and their
// volume labels.
#include "drive.h"
#include "functions.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>

namespace {

// An empty card reader or floppy letter must not stop the search with a
// "no disk in drive" box that nobody at a console can answer.
class QuietDriveErrors {
public:
  QuietDriveErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode_); }
  ~QuietDriveErrors() { SetThreadErrorMode(old_mode_, nullptr); }
  QuietDriveErrors(const QuietDriveErrors &) = delete;
  QuietDriveErrors &operator=(const QuietDriveErrors &) = delete;

private:
  DWORD old_mode_ = 0;
};

// True when the root ("E:\\") has a readable volume labelled "RPI-RP2";
// its serial number goes to *serial when asked for.
bool root_is_bootsel(const char *root, DWORD *serial) {
  char label[260];
  std::memset(label, 0, sizeof label);
  // A letter without a readable volume (no media, no access) is passed over.
  if (!GetVolumeInformationA(root, label, sizeof label, serial, nullptr, nullptr, nullptr, 0))
    return false;
  return std::strcmp(label, "RPI-RP2") == 0;
}

// The drives labelled "RPI-RP2", letter by letter from A to Z, as "E:".
template <class Fn> void each_bootsel_letter(Fn &&fn) {
  const QuietDriveErrors quiet;
  const DWORD present = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if (!(present & (1UL << i)))
      continue;
    const char root[4] = {static_cast<char>('A' + i), ':', '\\', '\0'};
    if (!root_is_bootsel(root, nullptr))
      continue;
    const char name[3] = {root[0], ':', '\0'};
    if (!fn(name))
      return;
  }
}

void drive_root(const char *drive, char *root) {
  root[0] = drive[0];
  root[1] = ':';
  root[2] = '\\';
  root[3] = '\0';
}

} // namespace

char *bootsel_find_mount() {
  char *found = nullptr;
  each_bootsel_letter([&](const char *name) {
    found = static_cast<char *>(std::malloc(3)); // null if it cannot be had: the search ends either way
    if (found)
      std::memcpy(found, name, 3);
    return false;
  });
  return found;
}

char *bootsel_find_mounts() {
  char *list = nullptr, *end = nullptr;
  string_list_init(&list, &end);
  each_bootsel_letter([&](const char *name) {
    string_list_add(&list, &end, name);
    return true;
  });
  return list;
}

bool bootsel_drive_present(const char *drive) {
  const QuietDriveErrors quiet;
  char root[4];
  drive_root(drive, root);
  return root_is_bootsel(root, nullptr);
}

// Windows gives no simple way from a drive letter to the USB port the
// drive hangs on; the drives present before the reboot request decide.
bool port_usb_location(const char *, char *, int32_t) { return false; }
bool drive_usb_location(const char *, char *, int32_t) { return false; }

std::FILE *drive_create_file(const char *drive, const char *target, drive_open_t *result) {
  *result = DRIVE_OPEN_FAILED;
  const QuietDriveErrors quiet;
  const HANDLE h =
      CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return nullptr;
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  // The file is on the drive when the letter still shows the RPI-RP2 volume
  // and the file's own path, as the system resolves it, lies on that letter
  // (not behind a folder mount or link on it). A letter that went makes the
  // open fail already. Where the system cannot resolve the path (Wine, for
  // a drive its mount manager made) the label decides alone; the volume
  // serial numbers of file and volume would not do either, as Wine reports
  // them differently.
  char root[4];
  drive_root(drive, root);
  char final_path[1024] = {};
  const DWORD n = GetFinalPathNameByHandleA(h, final_path, sizeof final_path, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  const char *on = final_path;
  if (std::strncmp(on, "\\\\?\\", 4) == 0)
    on += 4;
  const bool on_letter = n == 0 || (n < sizeof final_path && (on[0] | 0x20) == (drive[0] | 0x20) && on[1] == ':');
  if (!root_is_bootsel(root, nullptr) || !on_letter) {
    CloseHandle(h);
    if (created)
      DeleteFileA(target);
    *result = DRIVE_OPEN_NOT_ON_DRIVE;
    return nullptr;
  }
  if (!SetEndOfFile(h)) {
    CloseHandle(h);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  std::FILE *f = _fdopen(fd, "wb");
  if (!f) {
    _close(fd);
    return nullptr;
  }
  *result = DRIVE_OPEN_OK;
  return f;
}

drive_sync_t drive_sync_file(std::FILE *file, char *why, int32_t why_size) {
  DWORD err = 0;
  if (std::fflush(file) != 0) {
    err = ERROR_WRITE_FAULT;
  } else {
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (h != INVALID_HANDLE_VALUE && FlushFileBuffers(h))
      return DRIVE_SYNC_OK;
    err = GetLastError();
  }
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text,
                                 sizeof text, nullptr);
  // The system's text ends in a line break; the message it goes into has its own.
  DWORD len = n;
  while (len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n' || text[len - 1] == ' '))
    text[--len] = '\0';
  if (len == 0)
    format_cut(text, sizeof text, "error %lu", err);
  format_cut(why, static_cast<size_t>(why_size), "%s", text);
  switch (err) {
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
  case ERROR_WRITE_PROTECT:
    return DRIVE_SYNC_FAILED;
  default:
    return DRIVE_SYNC_UNCERTAIN;
  }
}
