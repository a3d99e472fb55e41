/* Test-only helper: makes a drive letter appear or vanish in a running Wine
 * prefix through Wine's mount manager, the way a USB drive comes and goes,
 * without restarting the wine server that parallel tests share.
 *
 *   winedrive define X: /unix/folder   X: now reaches the folder
 *   winedrive remove X:                X: is gone
 *
 * Exit status 0 on success, 1 with a message otherwise. */
#include <windows.h>
#include <winioctl.h>

#include <stdio.h>
#include <string.h>

/* Wine's own mount manager request (include/ddk/mountmgr.h, Wine 6 and later). */
#define WINE_IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define WINE_FS_FAT1216 2

struct wine_unix_drive {
  ULONG size;
  ULONG type;
  ULONG fs_type;
  DWORD serial;
  ULONGLONG unix_dev;
  WCHAR letter;
  USHORT mount_point_offset;
  USHORT device_offset;
  USHORT label_offset;
};

static int usage(void) {
  fprintf(stderr, "usage: winedrive define X: /unix/folder | winedrive remove X:\n");
  return 1;
}

int main(int argc, char **argv) {
  if (argc < 3 || strlen(argv[2]) != 2 || argv[2][1] != ':')
    return usage();
  const int define = strcmp(argv[1], "define") == 0;
  if (!define && strcmp(argv[1], "remove") != 0)
    return usage();
  if (define && argc != 4)
    return usage();
  const char letter = argv[2][0];
  if (!((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z')))
    return usage();

  const char *folder = define ? argv[3] : "";
  const size_t folder_size = define ? strlen(folder) + 1 : 0;
  const size_t size = sizeof(struct wine_unix_drive) + folder_size;
  static unsigned char buffer[sizeof(struct wine_unix_drive) + 4096];
  if (size > sizeof buffer)
    return usage();
  memset(buffer, 0, sizeof buffer);
  struct wine_unix_drive *req = (struct wine_unix_drive *)buffer;
  req->size = (ULONG)size;
  req->type = define ? DRIVE_REMOVABLE : DRIVE_NO_ROOT_DIR;
  req->fs_type = WINE_FS_FAT1216;
  req->letter = (WCHAR)(letter | 0x20);
  if (define) {
    req->mount_point_offset = (USHORT)sizeof(struct wine_unix_drive);
    memcpy(buffer + req->mount_point_offset, folder, folder_size);
  }

  HANDLE mgr = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (mgr == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "winedrive: cannot open the mount manager (%lu)\n", GetLastError());
    return 1;
  }
  DWORD returned = 0;
  const BOOL ok =
      DeviceIoControl(mgr, WINE_IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE, buffer, (DWORD)size, NULL, 0, &returned, NULL);
  const DWORD err = GetLastError();
  CloseHandle(mgr);
  if (!ok) {
    fprintf(stderr, "winedrive: %s %c: failed (%lu)\n", argv[1], letter, err);
    return 1;
  }
  return 0;
}
