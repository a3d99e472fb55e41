#include "board-lines.h"

#include "functions.h"
#include "interrupt.h"
#include "timer.h"

namespace {

constexpr int32_t kSettleMs = 200;
constexpr int32_t kStaleDrainMs = 1000;

} // namespace

void board_lines_drop_stale(serial_t *link) {
  wait_ms(kSettleMs);
  char stale[BOARD_LINE_SIZE];
  const int32_t start = get_absolute_time();
  while (!interrupt_requested() && serial_rx_pop(link, stale, BOARD_LINE_SIZE) && !time_reached(start, kStaleDrainMs)) {
  }
}

bool board_line_take(serial_t *link, char *line, int32_t line_size, int32_t pause_ms) {
  if (serial_rx_pop(link, line, line_size))
    return true;
  wait_ms(pause_ms);
  return false;
}

int board_lines_wait(serial_t *link, int32_t timeout_ms, int32_t pause_ms, board_line_verdict_fn verdict, char *line,
                     int32_t line_size) {
  // The verdict sees the whole line, however little of it the caller keeps.
  char got[BOARD_LINE_SIZE];
  const int32_t start = get_absolute_time();
  while (!time_reached(start, timeout_ms) && !interrupt_requested()) {
    if (!board_line_take(link, got, BOARD_LINE_SIZE, pause_ms))
      continue;
    const int value = verdict(got);
    if (value != 0) {
      copy_cut(line, line_size, got);
      return value;
    }
  }
  return 0;
}
