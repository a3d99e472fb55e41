#include "update-screen.h"

#include "board-lines.h"
#include "board-text.h"
#include "console.h"
#include "esp-image.h"
#include "functions.h"
#include "interrupt.h"
#include "options.h"
#include "serial.h"
#include "timer.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t kAppSlotBytes = 6291456; // the screen board's application slot, 0x600000
constexpr int32_t kPieceBytes = 4096;
constexpr int32_t kStartWaitMs = 5000;
constexpr int32_t kFinalWaitMs = 30000;
constexpr int32_t kLinePauseMs = 5;
constexpr int kStallDrainPasses = 50;
constexpr int32_t kStallDrainPauseMs = 20;

// Error messages go to standard error while the progress line and its line
// breaks go to standard output; flushing first keeps the two in order when
// both are sent to the same place.
void print_error(const char *format, const char *text = nullptr) {
  console_progress_settle();
  std::fflush(stdout);
  std::fprintf(stderr, format, text);
}

// A line from the board, shown to the technician. The board is outside our
// control: whatever it sends must not be able to steer the terminal.
void show_board_line(const char *prefix, const char *line) {
  char shown[BOARD_LINE_SHOWN_SIZE];
  board_line_escape(line, shown, sizeof shown);
  console_progress_settle();
  std::fflush(stdout);
  std::fprintf(stderr, "%s%s\n", prefix, shown);
}

void show_status_error(const char *format, const char *line) {
  char shown[BOARD_LINE_SHOWN_SIZE];
  board_line_escape(line, shown, sizeof shown);
  print_error(format, shown);
}

void print_progress(int32_t sent, int32_t total, int32_t start) {
  if (options.no_status)
    return;
  char text[160];
  progress_text(text, sizeof text, sent, total, timer_elapsed_ms(start));
  // A standard output that is not being read (a stuck log shipper, a paused
  // pager) must not hold up the transfer: a line it cannot take at once is
  // skipped, and the next one says the same and more.
  (void)console_write_progress(text);
}

// The bridge answers "FWUP" with "START" once it is ready for the image, or
// with a failure word. "DONE" and free text are left over from before.
int start_or_failure(const char *line) {
  if (std::strcmp(line, "START") == 0)
    return 1;
  return classify_status(line) == -1 ? -1 : 0;
}

bool wait_for_start(serial_t *link) {
  char line[BOARD_LINE_SIZE];
  switch (board_lines_wait(link, kStartWaitMs, kLinePauseMs, start_or_failure, line, BOARD_LINE_SIZE)) {
  case 1:
    return true;
  case -1:
    show_status_error("ERROR: I/O board reported '%s'\n", line);
    return false;
  default:
    if (interrupt_requested())
      return false; // said by the caller, once the port is released
    print_error("ERROR: No response from I/O board. Is it running firmware with the update bridge, and is the port "
                "correct?\n");
    return false;
  }
}

// The board's port went away under the transfer and did not come back: not
// the screen board's fault, and nothing of the new image is in use yet.
void report_left(int32_t sent, int32_t size) {
  console_progress_settle();
  std::fflush(stdout);
  std::fprintf(stderr,
               "ERROR: The I/O board left the USB bus after %ld of %ld bytes of the image were sent. The screen "
               "board keeps its current firmware; reconnect the I/O board and run the update again.\n",
               static_cast<long>(sent), static_cast<long>(size));
}

// A write that did not go through: show what the bridge said meanwhile, all
// of it (the passes are not cut short), and why the transfer ends. `sent`
// of the image's `size` bytes had gone out.
void report_stall(serial_t *link, int32_t sent, int32_t size) {
  console_progress_settle();
  std::fputs("\n", stdout);
  bool aborted = false;
  char line[BOARD_LINE_SIZE];
  for (int pass = 0; pass < kStallDrainPasses; ++pass) {
    if (!board_line_take(link, line, BOARD_LINE_SIZE, kStallDrainPauseMs))
      continue;
    show_board_line("  [io] ", line);
    if (classify_status(line) == -1)
      aborted = true;
  }
  if (aborted)
    print_error("ERROR: Transfer aborted by I/O board\n");
  else if (serial_board_left(link))
    report_left(sent, size);
  else
    print_error("ERROR: Transfer stalled (screen board not responding?)\n");
}

// Streams the image in pieces, looking at one board line after each piece.
// *sent follows the bytes the port took.
bool send_image(serial_t *link, const uint8_t *image, int32_t size, int32_t *sent) {
  std::fputs("Transferring firmware to screen over RS485 (this takes a few minutes)...\n", stdout);
  const int32_t start = get_absolute_time();
  char line[BOARD_LINE_SIZE];
  for (int32_t offset = 0; offset < size;) {
    const int32_t piece = size - offset < kPieceBytes ? size - offset : kPieceBytes;
    bool piece_sent = false;
    int32_t taken = 0;
    if (!interrupt_requested()) {
      piece_sent = serial_tx_bytes(link, image + offset, piece);
      taken = link->tx_taken;
    }
    *sent = offset + taken;
    if (interrupt_requested())
      return false; // said by the caller, once the port is released
    if (!piece_sent) {
      report_stall(link, *sent, size);
      return false;
    }
    offset += piece;
    print_progress(offset, size, start);
    // Once the last piece is out, the next line may already be the bridge's
    // verdict on the whole image: it is left for the final wait, which would
    // otherwise wait for a "DONE" that was shown and passed over here.
    if (offset == size)
      break;
    if (!serial_rx_pop(link, line, BOARD_LINE_SIZE))
      continue;
    if (classify_status(line) == -1) {
      console_progress_settle();
      std::fputs("\n", stdout);
      show_status_error("ERROR: Transfer aborted by I/O board ('%s')\n", line);
      return false;
    }
    // A "DONE" here is shown like any other line: the bridge says it once
    // every byte has arrived, which this run has not seen yet.
    show_board_line("\n  [io] ", line);
  }
  return true;
}

// Everything after the port is open; the caller closes it. *sent follows
// the image bytes the port took.
bool run_update(serial_t *link, const uint8_t *image, int32_t size, int32_t *sent) {
  // Lines the board printed before this run must not be taken as answers to
  // this one.
  board_lines_drop_stale(link);

  char command[64];
  const int length = std::snprintf(command, sizeof command, "FWUP %ld\n", static_cast<long>(size));
  // A cut command would announce another size than the bytes that follow.
  if (length < 0 || length >= static_cast<int>(sizeof command) || interrupt_requested() || !serial_tx(link, command)) {
    if (interrupt_requested())
      return false; // said by the caller, once the port is released
    print_error("ERROR: Failed to send update command\n");
    return false;
  }
  if (!wait_for_start(link))
    return false;
  if (!send_image(link, image, size, sent))
    return false;

  console_progress_settle(); // the last progress line comes first
  if (!options.no_status)
    std::fputs("\n", stdout);
  std::fputs("Finalising and verifying on screen board...\n", stdout);
  std::fflush(stdout);
  // The verdict on the whole image; free text meanwhile is dropped.
  char status[BOARD_LINE_SIZE];
  switch (board_lines_wait(link, kFinalWaitMs, kLinePauseMs, classify_status, status, BOARD_LINE_SIZE)) {
  case 1:
    std::fputs("Success: screen firmware updated. The screen board is rebooting.\n", stdout);
    return true;
  case -1:
    show_status_error("ERROR: Update failed on screen board ('%s')\n", status);
    return false;
  default:
    if (interrupt_requested())
      return false; // said by the caller, once the port is released
    print_error("ERROR: Timed out waiting for completion\n");
    return false;
  }
}

// An image too large for the slot is refused from its size alone, before
// anything is read: a file of gigabytes is neither loaded into memory nor
// taken for a smaller one.
bool refuse_oversized(int64_t size) {
  if (size <= kAppSlotBytes)
    return false;
  std::fprintf(stderr, "ERROR: Firmware image is %lld bytes, larger than the %d byte app slot\n",
               static_cast<long long>(size), kAppSlotBytes);
  return true;
}

// The screen board's updater finds a wrong or damaged image only once every
// byte has crossed the RS485 link, minutes later. What its bootloader would
// reject is refused before the port is opened.
bool refuse_invalid(const char *path, const image_t &image, esp_image_report_t *report) {
  if (!esp_image_refused(esp_image_read(image.bytes.get(), static_cast<size_t>(image.size), report)))
    return false;
  char reason[256];
  esp_image_reason(report, reason, sizeof reason);
  std::fprintf(stderr, "ERROR: '%s' is not a valid ESP32 application image: %s\n", safe_to_show(path).c_str(), reason);
  return true;
}

// An image that is sent all the same, but looks like the wrong file.
void warn_about(const char *path, const esp_image_report_t *report) {
  for (const esp_image_warning_t warning :
       {ESP_IMAGE_WARN_NOT_E9, ESP_IMAGE_WARN_NO_APP_DESC, ESP_IMAGE_WARN_NO_FLASH_SEGMENT}) {
    char text[256];
    esp_image_warning(report, warning, text, sizeof text);
    if (text[0] != '\0')
      std::fprintf(stderr, "WARNING: '%s' %s\n", safe_to_show(path).c_str(), text);
  }
}

// A text from the image's description, made safe to show like a board line:
// it comes from a file that anyone may have built.
struct shown_text_t {
  char text[BOARD_LINE_SHOWN_SIZE];
  explicit shown_text_t(const char *field) { board_line_escape(field[0] == '\0' ? "?" : field, text, sizeof text); }
};

// What is about to be installed, under the line that names the file.
void print_application(const esp_image_report_t *report) {
  if (!report->has_app_desc)
    return;
  const esp_app_desc_text_t &desc = report->app_desc;
  std::printf("  Application:   %s %s, built %s %s, ESP-IDF %s\n", shown_text_t(desc.project_name).text,
              shown_text_t(desc.version).text, shown_text_t(desc.date).text, shown_text_t(desc.time).text,
              shown_text_t(desc.idf_version).text);
}

// What a stopped run leaves on the screen board, said once the port is
// released. Until the bridge has every byte, the board's updater has
// written nothing over the firmware it runs.
void report_interrupted(int32_t sent, int32_t size) {
  console_progress_settle();
  if (!options.no_status && sent > 0)
    (void)console_write_progress("\n"); // ends the progress line
  std::fflush(stdout);
  if (sent < size)
    std::fprintf(stderr,
                 "ERROR: Interrupted: the transfer was cut at %ld of %ld bytes\n"
                 "The screen board keeps its current firmware until a full update succeeds. Run the update again.\n",
                 static_cast<long>(sent), static_cast<long>(size));
  else
    std::fprintf(stderr,
                 "ERROR: Interrupted while the screen board was checking the image (all %ld bytes were sent)\n"
                 "If the screen board does not start the new firmware, run the update again.\n",
                 static_cast<long>(size));
}

} // namespace

int classify_status(const char *line) {
  if (std::strcmp(line, "DONE") == 0)
    return 1;
  if (std::strcmp(line, "FAIL") == 0 || std::strcmp(line, "TIMEOUT") == 0 || std::strcmp(line, "NORESP") == 0)
    return -1;
  return 0;
}

void progress_text(char *dest, size_t dest_size, int32_t sent, int32_t total, int32_t elapsed_ms) {
  const double percent = total == 0 ? 0.0 : 100.0 * sent / total;
  const double rate = elapsed_ms <= 0 ? 0.0 : (sent / 1024.0) / (elapsed_ms / 1000.0);
  format_cut(dest, dest_size, "\r  Sending: %6.2f%%  (%ld / %ld KiB)  %.1f KiB/s   ", percent,
             static_cast<long>(sent / 1024), static_cast<long>(total / 1024), rate);
}

int action_update_screen() {
  const char *path = options.screen_fw;
  image_t image;
  { // the file is open only while it is read
    int64_t file_size = 0;
    const file_ptr file(regular_file_open(path, &file_size));
    if (file && refuse_oversized(file_size))
      return -1;
    image = image_read(file.get(), file_size);
  }
  if (image.size < 0) {
    std::fprintf(stderr, "ERROR: Unable to read firmware file '%s'\n", safe_to_show(path).c_str());
    return -1;
  }
  esp_image_report_t report;
  if (refuse_invalid(path, image, &report))
    return -1;
  warn_about(path, &report);
  std::printf("Screen firmware: %s (%ld bytes)\n", safe_to_show(path).c_str(), static_cast<long>(image.size));
  print_application(&report);
  std::printf("I/O board port:  %s\n", safe_to_show(options.port).c_str());
  std::fflush(stdout); // the link reports its own errors on standard error

  // From here a Ctrl-C stops the run at its next safe point, so that the
  // port is released and the board's state can be told.
  interrupt_defer();
  serial_t link;
  if (!serial_init(&link, options.port)) {
    serial_free(&link);
    return -1;
  }
  int32_t sent = 0;
  const bool ok = run_update(&link, image.bytes.get(), image.size, &sent);
  serial_free(&link);
  if (!ok && interrupt_requested())
    report_interrupted(sent, image.size);
  return ok ? 0 : -1;
}
