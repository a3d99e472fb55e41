#include "update-io.h"

#include "board-lines.h"
#include "drive.h"
#include "functions.h"
#include "options.h"
#include "serial.h"
#include "timer.h"
#include "uf2.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace {

constexpr int32_t kUf2BlockSize = 512;
constexpr int32_t kLargestImage = 8388608;      // 0x800000
constexpr uint32_t kUf2FirstMagic = 0x0A324655; // "UF2\n"
constexpr int32_t kBootselAnswerMs = 3000;
constexpr int32_t kBootselPauseMs = 10;
constexpr int32_t kDriveWaitMs = 30000;
constexpr int32_t kDrivePollMs = 250;

int is_bootsel_answer(const char *line) { return std::strcmp(line, "BOOTSEL") == 0 ? 1 : 0; }

// Asks the running I/O board firmware to reboot into BOOTSEL. The answer is
// awaited but not needed: the board may reboot before it gets a word out,
// and the drive search that follows is the real test.
void request_bootsel(const char *port) {
  serial_t link{};
  if (!serial_init(&link, port)) {
    serial_free(&link);
    std::fprintf(stderr,
                 "WARNING: Could not open %s. If the board is already in BOOTSEL this is expected; looking for the "
                 "drive...\n",
                 port);
    return;
  }
  // Lines the board sent before our request are not its answer.
  board_lines_drop_stale(&link);

  std::printf("Rebooting I/O board into BOOTSEL...\n");
  std::fflush(stdout);
  (void)serial_tx(&link, "IOBOOTSEL\n"); // a board already rebooting may not take it; the drive decides

  char line[BOARD_LINE_SIZE];
  board_lines_wait(&link, kBootselAnswerMs, kBootselPauseMs, is_bootsel_answer, line, BOARD_LINE_SIZE);
  serial_free(&link);
}

// Polls for the drive until it shows or 30 s pass; the operating system
// gives no word when a drive is mounted, so looking again is the only way.
char *wait_for_drive() {
  std::printf("Waiting for the RPI-RP2 drive...\n");
  std::fflush(stdout);
  const int32_t start = get_absolute_time();
  while (!time_reached(start, kDriveWaitMs)) {
    char *drive = bootsel_find_mount();
    if (drive)
      return drive;
    wait_ms(kDrivePollMs);
  }
  return nullptr;
}

// A file too large for any RP2040 image (a disk image, an archive picked by
// mistake) is refused from its size alone, before it is read: it is neither
// loaded into memory nor, past 2 GiB, reported as unreadable.
bool refuse_oversized(const char *path, int64_t size) {
  if (size <= kLargestImage)
    return false;
  std::fprintf(stderr, "ERROR: '%s' is %lld bytes \xE2\x80\x94 that is not a plausible I/O .uf2\n", path,
               static_cast<long long>(size));
  return true;
}

// The boot ROM skips blocks it does not take without a word, and takes a
// file that ends before its last block as far as it goes: the board would be
// left in BOOTSEL, or with part of its flash rewritten. Such a file is
// refused while nothing has been touched.
bool refuse_incomplete(const char *path, const uint8_t *image, int32_t size, uf2_report_t *report) {
  if (uf2_read(image, static_cast<size_t>(size), report) == UF2_COMPLETE)
    return false;
  char reason[512];
  uf2_reason(report, reason, sizeof reason);
  std::fprintf(stderr, "ERROR: '%s' would not flash an RP2040: %s\n", path, reason);
  return true;
}

// What the ROM will write, under the line that names the file.
void print_download(const uf2_report_t *report) {
  std::printf("  UF2 image:    %lu block%s for %s, 0x%08lx-0x%08lx\n", static_cast<unsigned long>(report->block_count),
              report->block_count == 1 ? "" : "s", report->target == UF2_TARGET_RAM ? "RAM" : "flash",
              static_cast<unsigned long>(report->address_low), static_cast<unsigned long>(report->address_end));
}

} // namespace

uf2_verdict_t uf2_check(const uint8_t *image, int32_t size) {
  if (size > kLargestImage)
    return UF2_TOO_LARGE;
  if (size < kUf2BlockSize)
    return UF2_NOT_UF2;
  const uint32_t magic = static_cast<uint32_t>(image[0]) | static_cast<uint32_t>(image[1]) << 8 |
                         static_cast<uint32_t>(image[2]) << 16 | static_cast<uint32_t>(image[3]) << 24;
  return magic == kUf2FirstMagic ? UF2_PLAUSIBLE : UF2_NOT_UF2;
}

const char *path_basename(const char *path) {
  const char *name = path;
  for (const char *p = path; *p; ++p)
    if (*p == '/' || *p == '\\')
      name = p + 1;
  return name;
}

bool copy_to_drive(const char *drive, const char *image_path, const uint8_t *image, int32_t size) {
  char target[1024];
  const char *name = path_basename(image_path);
  // A cut path would name another file, on the drive or beside it.
  const int length = std::snprintf(target, sizeof target, "%s/%s", drive, name);
  std::FILE *f = length >= 0 && length < static_cast<int>(sizeof target) ? std::fopen(target, "wb") : nullptr;
  if (!f) {
    std::fprintf(stderr, "ERROR: Cannot open '%s/%s' for writing\n", drive, name);
    return false;
  }
  // Unbuffered, so the count below is what the drive took, not what a
  // buffer in this process took.
  // Should that fail, the flush and sync below still find a short write.
  (void)std::setvbuf(f, nullptr, _IONBF, 0);
  const size_t written = std::fwrite(image, 1, static_cast<size_t>(size), f);
  if (written < static_cast<size_t>(size)) {
    (void)std::fclose(f); // the short write is what is reported
    std::fprintf(stderr, "ERROR: Only wrote %ld of %ld bytes to the RPI-RP2 drive\n", static_cast<long>(written),
                 static_cast<long>(size));
    return false;
  }

  // The operating system may still hold the image in memory; until the drive
  // has it, the board has not got its firmware.
  char why[256] = {};
  drive_sync_t synced = drive_sync_file(f, why, sizeof why);
  if (std::fclose(f) != 0 && synced == DRIVE_SYNC_OK) {
    synced = DRIVE_SYNC_UNCERTAIN;
    format_cut(why, sizeof why, "%s", std::generic_category().message(errno).c_str());
  }
  if (synced == DRIVE_SYNC_FAILED) {
    std::fprintf(stderr, "ERROR: Could not finish writing '%s' to the RPI-RP2 drive: %s\n", target, why);
    return false;
  }
  if (synced == DRIVE_SYNC_UNCERTAIN) {
    // The boot ROM flashes the image and reboots about a second after its
    // last block arrives, taking the drive with it, so a drive that fails
    // only now may have done so because flashing worked. Say both.
    std::fprintf(stderr,
                 "WARNING: All %ld bytes were written to '%s', but the drive reported an error while the copy was "
                 "being finished (%s). The board may already be rebooting with the new firmware; if it does not "
                 "come back running it, run the update again.\n",
                 static_cast<long>(size), target, why);
    return false;
  }
  return true;
}

int action_update_io() {
  image_t image;
  { // the file is open only while it is read
    int64_t file_size = 0;
    const file_ptr file(regular_file_open(options.io_fw, &file_size));
    if (file && refuse_oversized(options.io_fw, file_size))
      return -1;
    image = image_read(file.get(), file_size);
  }
  if (image.size < 0) {
    std::fprintf(stderr, "ERROR: Unable to read firmware file '%s'\n", options.io_fw);
    return -1;
  }
  switch (uf2_check(image.bytes.get(), image.size)) {
  case UF2_TOO_LARGE:
    std::fprintf(stderr, "ERROR: '%s' is %ld bytes \xE2\x80\x94 that is not a plausible I/O .uf2\n", options.io_fw,
                 static_cast<long>(image.size));
    return -1;
  case UF2_NOT_UF2:
    std::fprintf(stderr,
                 "ERROR: '%s' is not a UF2 file. Pass the I/O board's .uf2 (e.g. build/mirad-fw-io.uf2), not the "
                 ".bin/.elf.\n",
                 options.io_fw);
    return -1;
  case UF2_PLAUSIBLE:
    break;
  }
  uf2_report_t download;
  if (refuse_incomplete(options.io_fw, image.bytes.get(), image.size, &download))
    return -1;
  if (download.target == UF2_TARGET_RAM)
    std::fprintf(stderr,
                 "WARNING: '%s' loads into the RP2040's RAM, not its flash: it runs once and is gone at the next "
                 "power-up\n",
                 options.io_fw);

  std::printf("I/O firmware:   %s (%ld bytes)\n", options.io_fw, static_cast<long>(image.size));
  print_download(&download);
  std::printf("I/O board port: %s\n", options.port);
  std::fflush(stdout);
  request_bootsel(options.port);

  const heap_ptr<char> drive(wait_for_drive());
  if (!drive) {
    std::fprintf(stderr, "ERROR: The RPI-RP2 drive did not appear. Is the I/O board connected and running firmware "
                         "new enough to accept the reboot command? (Its USB drive must auto-mount.)\n");
    return -1;
  }
  std::printf("Copying firmware to %s...\n", drive.get());
  std::fflush(stdout);
  if (!copy_to_drive(drive.get(), options.io_fw, image.bytes.get(), image.size))
    return -1;
  std::printf("Success: I/O board firmware written. The board is rebooting.\n");
  return 0;
}
