// Finding the BOOTSEL drive on Windows: the drive letters present and their
// volume labels.
#include "drive.h"
#include "functions.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <io.h>

char *bootsel_find_mount() {
  // An empty card reader or floppy letter must not stop the search with a
  // "no disk in drive" box that nobody at a console can answer.
  DWORD old_mode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
  char *found = nullptr;
  const DWORD present = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if (!(present & (1UL << i)))
      continue;
    const char root[4] = {static_cast<char>('A' + i), ':', '\\', '\0'};
    char label[260];
    std::memset(label, 0, sizeof label);
    // A letter without a readable volume (no media, no access) is passed over.
    if (!GetVolumeInformationA(root, label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0))
      continue;
    if (std::strcmp(label, "RPI-RP2") != 0)
      continue;
    found = static_cast<char *>(std::malloc(3));
    if (found) {
      found[0] = root[0];
      found[1] = ':';
      found[2] = '\0';
    }
    break;
  }
  SetThreadErrorMode(old_mode, nullptr);
  return found;
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
