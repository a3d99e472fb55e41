#include "update-io.h"

#include "board-lines.h"
#include "board-text.h"
#include "drive.h"
#include "functions.h"
#include "interrupt.h"
#include "options.h"
#include "serial.h"
#include "timer.h"
#include "uf2.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int32_t kUf2BlockSize = 512;
constexpr int32_t kLargestImage = 8388608;      // 0x800000
constexpr uint32_t kUf2FirstMagic = 0x0A324655; // "UF2\n"
constexpr int32_t kBootselAnswerMs = 3000;
constexpr int32_t kBootselPauseMs = 10;
constexpr int32_t kDriveWaitMs = 30000;
constexpr int32_t kDrivePollMs = 250;
constexpr int32_t kRestartWaitMs = 10000;
constexpr int32_t kRestartPollMs = 50;
constexpr int32_t kPortBackWaitMs = 15000;
constexpr int32_t kPortPollMs = 250;
constexpr size_t kCopyPieceBytes = 65536; // a stop asked for during the copy waits for one piece at most

int is_bootsel_answer(const char *line) { return std::strcmp(line, "BOOTSEL") == 0 ? 1 : 0; }

// What the run knows of its board from before the reboot: whether its port
// opened, the RPI-RP2 drives that were there already (other boards'), and
// where the board sits on the USB bus when the system says.
struct bootsel_request_t {
  bool port_opened = false;
  heap_ptr<char> drives_before; // string list
  char usb_location[1024] = {};
};

// Asks the running I/O board firmware to reboot into BOOTSEL. The answer is
// awaited but not needed: the board may reboot before it gets a word out,
// and the drive search that follows is the real test.
void request_bootsel(const char *port, bootsel_request_t *request) {
  serial_t link{};
  if (!serial_init(&link, port)) {
    serial_free(&link);
    std::fprintf(stderr,
                 "WARNING: Could not open %s. If the board is already in BOOTSEL this is expected; looking for the "
                 "drive...\n",
                 safe_to_show(port).c_str());
    return;
  }
  // Lines the board sent before our request are not its answer.
  board_lines_drop_stale(&link);
  if (interrupt_requested()) { // nothing was asked of the board
    serial_free(&link);
    return;
  }

  std::printf("Rebooting I/O board into BOOTSEL...\n");
  std::fflush(stdout);
  // Taken while the board is still on its port: a drive that is there now
  // is not the one this board is about to show.
  request->port_opened = true;
  if (!port_usb_location(port, request->usb_location, sizeof request->usb_location))
    request->usb_location[0] = '\0';
  request->drives_before.reset(bootsel_find_mounts());
  (void)serial_tx(&link, "IOBOOTSEL\n"); // a board already rebooting may not take it; the drive decides

  char line[BOARD_LINE_SIZE];
  board_lines_wait(&link, kBootselAnswerMs, kBootselPauseMs, is_bootsel_answer, line, BOARD_LINE_SIZE);
  serial_free(&link);
}

bool list_holds(const char *list, const char *name) {
  for (const char *p = list; p && *p; p += std::strlen(p) + 1)
    if (std::strcmp(p, name) == 0)
      return true;
  return false;
}

void append_name(std::string *names, const char *name) {
  if (!names->empty())
    *names += ", ";
  *names += name;
}

// Drives seen at the last look that belong to other boards.
struct foreign_drives_t {
  std::string were_there;      // there before the reboot request
  std::string other_usb_ports; // new, but on another USB port than the board's
};

// This run's drive among those present now (a string list), or null. With
// no port to ask, there is nothing to tell boards apart by: the first drive
// is taken, and a choice among several is said.
char *choose_drive(const bootsel_request_t &request, const char *found, foreign_drives_t *foreign) {
  std::vector<bootsel_seen_t> seen;
  for (const char *p = found; p && *p; p += std::strlen(p) + 1)
    seen.push_back(bootsel_seen_t{p, false, 0});
  if (seen.empty())
    return nullptr;
  if (!request.port_opened) {
    if (seen.size() > 1) {
      std::string names;
      for (const bootsel_seen_t &d : seen)
        append_name(&names, d.name);
      std::fprintf(stderr,
                   "WARNING: %d RPI-RP2 drives are present (%s); using %s, the first. If that is another board's, "
                   "unplug the other boards and run the update again.\n",
                   static_cast<int>(seen.size()), safe_to_show(names.c_str()).c_str(),
                   safe_to_show(seen[0].name).c_str());
    }
    return strdup(seen[0].name);
  }
  for (bootsel_seen_t &d : seen) {
    d.was_there = list_holds(request.drives_before.get(), d.name);
    char location[1024];
    if (request.usb_location[0] && drive_usb_location(d.name, location, sizeof location))
      d.usb_match = std::strcmp(location, request.usb_location) == 0 ? 1 : -1;
  }
  const int chosen = bootsel_pick(seen.data(), static_cast<int>(seen.size()));
  if (chosen >= 0)
    return strdup(seen[static_cast<size_t>(chosen)].name);
  *foreign = foreign_drives_t{};
  for (const bootsel_seen_t &d : seen)
    append_name(d.usb_match < 0 ? &foreign->other_usb_ports : &foreign->were_there, d.name);
  return nullptr;
}

// Polls for this run's drive until it shows or 30 s pass; the operating
// system gives no word when a drive is mounted, so looking again is the
// only way. On a time-out says which drives were seen and why none was
// taken.
char *wait_for_drive(const bootsel_request_t &request) {
  std::printf("Waiting for the RPI-RP2 drive...\n");
  std::fflush(stdout);
  foreign_drives_t foreign;
  const int32_t start = get_absolute_time();
  while (!time_reached(start, kDriveWaitMs)) {
    if (interrupt_requested())
      return nullptr; // said by the caller
    const heap_ptr<char> found(bootsel_find_mounts());
    if (char *drive = choose_drive(request, found.get(), &foreign))
      return drive;
    wait_ms(kDrivePollMs);
  }
  std::fprintf(stderr, "ERROR: The RPI-RP2 drive did not appear. Is the I/O board connected and running firmware "
                       "new enough to accept the reboot command? (Its USB drive must auto-mount.)\n");
  if (!foreign.were_there.empty())
    std::fprintf(stderr,
                 "ERROR: RPI-RP2 drive(s) %s were already there before this board rebooted: they belong to another "
                 "board.\n",
                 safe_to_show(foreign.were_there.c_str()).c_str());
  if (!foreign.other_usb_ports.empty())
    std::fprintf(stderr,
                 "ERROR: RPI-RP2 drive(s) %s are on another USB port than this board: they belong to another "
                 "board.\n",
                 safe_to_show(foreign.other_usb_ports.c_str()).c_str());
  return nullptr;
}

// Waits for the drive to leave: the boot ROM reboots about a second after
// the last block of a complete download. True when it went within 10 s.
bool wait_for_drive_to_leave(const char *drive) {
  std::printf("Waiting for the board to restart...\n");
  std::fflush(stdout);
  const int32_t start = get_absolute_time();
  while (!time_reached(start, kRestartWaitMs) && !interrupt_requested()) {
    if (!bootsel_drive_present(drive))
      return true;
    wait_ms(kRestartPollMs);
  }
  return false;
}

// After a flash the board starts its new firmware and its serial port comes
// back. New firmware may start slowly or not offer the port at all, so this
// only says what it saw.
void wait_for_port(const char *port) {
  std::printf("Waiting for the I/O board to come back on %s...\n", safe_to_show(port).c_str());
  std::fflush(stdout);
  const int32_t start = get_absolute_time();
  while (!time_reached(start, kPortBackWaitMs)) {
    if (interrupt_requested()) {
      std::fflush(stdout);
      std::fprintf(stderr, "ERROR: Interrupted while waiting for the I/O board to come back on %s\n",
                   safe_to_show(port).c_str());
      return;
    }
    if (serial_port_present(port)) {
      std::printf("The I/O board is back on %s.\n", safe_to_show(port).c_str());
      return;
    }
    wait_ms(kPortPollMs);
  }
  std::fprintf(stderr,
               "WARNING: The I/O board has not come back on %s within 15 s. New firmware may take longer to start, or "
               "use another port.\n",
               safe_to_show(port).c_str());
}

// A file too large for any RP2040 image (a disk image, an archive picked by
// mistake) is refused from its size alone, before it is read: it is neither
// loaded into memory nor, past 2 GiB, reported as unreadable.
bool refuse_oversized(const char *path, int64_t size) {
  if (size <= kLargestImage)
    return false;
  std::fprintf(stderr, "ERROR: '%s' is %lld bytes \xE2\x80\x94 that is not a plausible I/O .uf2\n",
               safe_to_show(path).c_str(), static_cast<long long>(size));
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
  std::fprintf(stderr, "ERROR: '%s' would not flash an RP2040: %s\n", safe_to_show(path).c_str(), reason);
  return true;
}

// What the ROM will write, under the line that names the file.
void print_download(const uf2_report_t *report) {
  std::printf("  UF2 image:    %lu block%s for %s, 0x%08lx-0x%08lx\n", static_cast<unsigned long>(report->block_count),
              report->block_count == 1 ? "" : "s", report->target == UF2_TARGET_RAM ? "RAM" : "flash",
              static_cast<unsigned long>(report->address_low), static_cast<unsigned long>(report->address_end));
}

// What a stopped run leaves on the I/O board, said once the port and the
// drive's file are released. Returns the exit status.
int report_interrupted(bool copy_started) {
  std::fflush(stdout);
  if (copy_started)
    std::fputs("ERROR: Interrupted during the copy: the I/O board is left in BOOTSEL\n"
               "It runs nothing new until a full copy reaches its drive. Run the update again.\n",
               stderr);
  else
    std::fputs("ERROR: Interrupted before the copy: nothing was written to the I/O board\n"
               "The board may already be in BOOTSEL (its RPI-RP2 drive showing). Run the update again.\n",
               stderr);
  return -1;
}

} // namespace

uf2_verdict_t uf2_check(const uint8_t *image, int32_t size) {
  if (size > kLargestImage)
    return UF2_TOO_LARGE;
  if (size < kUf2BlockSize)
    return UF2_NOT_UF2;
  return read_le32(image) == kUf2FirstMagic ? UF2_PLAUSIBLE : UF2_NOT_UF2;
}

// The board took the image only if its boot ROM rebooted, which takes the
// drive away. Returns the exit status.
int confirm_flash(const char *drive, const char *port, bool copy_unfinished) {
  const bool left = wait_for_drive_to_leave(drive);
  if (!left && interrupt_requested()) {
    std::fflush(stdout);
    std::fprintf(stderr, "ERROR: Interrupted after the copy, before the board was seen to restart\n"
                         "The whole image reached the drive. If the I/O board does not come back running the new "
                         "firmware, run the update again.\n");
    return -1;
  }
  if (!left) {
    std::fprintf(stderr,
                 "ERROR: The board did not take the image: %s is still there 10 s after the copy, so its boot ROM did "
                 "not complete the download and the board is still in BOOTSEL.\n",
                 safe_to_show(drive).c_str());
    return -1;
  }
  if (copy_unfinished)
    std::printf("The drive left while the copy was being finished: that was the board restarting with the image.\n");
  std::printf("Success: I/O board firmware written. The board is rebooting.\n");
  std::fflush(stdout);
  wait_for_port(port);
  return interrupt_requested() ? -1 : 0;
}

const char *path_basename(const char *path) {
  const char *name = path;
  for (const char *p = path; *p; ++p)
    if (*p == '/' || *p == '\\')
      name = p + 1;
  return name;
}

copy_result_t copy_to_drive(const char *drive, const char *image_path, const uint8_t *image, int32_t size) {
  const char *name = path_basename(image_path);
  char safe[256];
  if (drive_safe_name(name, safe, sizeof safe)) {
    std::printf("Writing it as '%s': the drive cannot hold the name '%s' (the board ignores file names).\n",
                safe_to_show(safe).c_str(), safe_to_show(name).c_str());
    std::fflush(stdout);
  }
  char target[1024];
  // A cut path would name another file, on the drive or beside it.
  const int length = std::snprintf(target, sizeof target, "%s/%s", drive, safe);
  if (length < 0 || length >= static_cast<int>(sizeof target)) {
    std::fprintf(stderr, "ERROR: Cannot open '%s/%s' for writing\n", safe_to_show(drive).c_str(),
                 safe_to_show(safe).c_str());
    return COPY_FAILED;
  }

  drive_open_t opened = DRIVE_OPEN_FAILED;
  std::FILE *f = drive_create_file(drive, target, &opened);
  if (opened == DRIVE_OPEN_NOT_ON_DRIVE) {
    std::fprintf(stderr, "ERROR: %s is no longer the RPI-RP2 drive (it went after it was found); nothing was written\n",
                 safe_to_show(drive).c_str());
    return COPY_FAILED;
  }
  if (!f) {
    std::fprintf(stderr, "ERROR: Cannot open '%s' for writing\n", safe_to_show(target).c_str());
    return COPY_FAILED;
  }
  // Unbuffered, so the count below is what the drive took, not what a
  // buffer in this process took.
  // Should that fail, the flush and sync below still find a short write.
  (void)std::setvbuf(f, nullptr, _IONBF, 0);
  size_t written = 0;
  while (written < static_cast<size_t>(size) && !interrupt_requested()) {
    const size_t piece = std::min(kCopyPieceBytes, static_cast<size_t>(size) - written);
    const size_t n = std::fwrite(image + written, 1, piece, f);
    written += n;
    if (n < piece)
      break;
  }
  if (interrupt_requested()) {
    (void)std::fclose(f); // the board stays in BOOTSEL whatever the drive holds
    return COPY_INTERRUPTED;
  }
  if (written < static_cast<size_t>(size)) {
    (void)std::fclose(f); // the short write is what is reported
    std::fprintf(stderr, "ERROR: Only wrote %ld of %ld bytes to the RPI-RP2 drive\n", static_cast<long>(written),
                 static_cast<long>(size));
    return COPY_FAILED;
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
    std::fprintf(stderr, "ERROR: Could not finish writing '%s' to the RPI-RP2 drive: %s\n",
                 safe_to_show(target).c_str(), why);
    return COPY_FAILED;
  }
  if (synced == DRIVE_SYNC_UNCERTAIN) {
    // The boot ROM flashes the image and reboots about a second after its
    // last block arrives, taking the drive with it, so a drive that fails
    // only now may have done so because flashing worked. Say both; whether
    // the drive then leaves decides.
    std::fprintf(stderr,
                 "WARNING: All %ld bytes were written to '%s', but the drive reported an error while the copy was "
                 "being finished (%s). The board may already be rebooting with the new firmware; if it does not "
                 "come back running it, run the update again.\n",
                 static_cast<long>(size), safe_to_show(target).c_str(), why);
    return COPY_UNFINISHED;
  }
  return COPY_DONE;
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
    std::fprintf(stderr, "ERROR: Unable to read firmware file '%s'\n", safe_to_show(options.io_fw).c_str());
    return -1;
  }
  switch (uf2_check(image.bytes.get(), image.size)) {
  case UF2_TOO_LARGE:
    std::fprintf(stderr, "ERROR: '%s' is %ld bytes \xE2\x80\x94 that is not a plausible I/O .uf2\n",
                 safe_to_show(options.io_fw).c_str(), static_cast<long>(image.size));
    return -1;
  case UF2_NOT_UF2:
    std::fprintf(stderr,
                 "ERROR: '%s' is not a UF2 file. Pass the I/O board's .uf2 (e.g. build/mirad-fw-io.uf2), not the "
                 ".bin/.elf.\n",
                 safe_to_show(options.io_fw).c_str());
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
                 safe_to_show(options.io_fw).c_str());

  std::printf("I/O firmware:   %s (%ld bytes)\n", safe_to_show(options.io_fw).c_str(), static_cast<long>(image.size));
  print_download(&download);
  std::printf("I/O board port: %s\n", safe_to_show(options.port).c_str());
  std::fflush(stdout);
  // From here a Ctrl-C stops the run at its next safe point, so that the
  // port and the drive's file are released and the board's state told.
  interrupt_defer();
  bootsel_request_t request;
  request_bootsel(options.port, &request);

  const heap_ptr<char> drive(interrupt_requested() ? nullptr : wait_for_drive(request));
  if (!drive && interrupt_requested())
    return report_interrupted(false);
  if (!drive)
    return -1;
  std::printf("Copying firmware to %s...\n", safe_to_show(drive.get()).c_str());
  std::fflush(stdout);
  const copy_result_t copied = copy_to_drive(drive.get(), options.io_fw, image.bytes.get(), image.size);
  if (copied == COPY_INTERRUPTED)
    return report_interrupted(true);
  if (copied == COPY_FAILED)
    return -1;
  return confirm_flash(drive.get(), options.port, copied == COPY_UNFINISHED);
}
