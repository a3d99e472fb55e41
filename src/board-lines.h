#pragma once
// Waiting for the I/O board's lines: the polling that both update actions do
// over the link. Every wait takes one line if there is one and otherwise
// pauses, bounded by a deadline or a count of looks.
#include "serial.h"

#include <cstdint>

// Room for the longest line the link hands out (255 characters) and its NUL.
constexpr int32_t BOARD_LINE_SIZE = 256;

// Lines the board printed before this run (a boot banner, the end of an
// earlier update, a log) are no answer to anything it is asked now. Lets the
// link settle for 200 ms, then drops every line received until none is left
// or 1000 ms have passed, so a board that never stops talking does not keep
// the caller here. Ends early when a stop is asked for.
void board_lines_drop_stale(serial_t *link);

// One look for a line: true with it in `line` (cut to line_size - 1
// characters), or false after a pause of pause_ms when there was none (on
// top of the link's own short pause).
bool board_line_take(serial_t *link, char *line, int32_t line_size, int32_t pause_ms);

// What a line means to a wait: 0 to go on waiting, any other value to end
// the wait with that value.
using board_line_verdict_fn = int (*)(const char *line);

// Takes the board's lines, pausing pause_ms whenever there is none, until
// `verdict` gives one a value other than 0 or timeout_ms have passed since
// the call. Returns that value with the deciding line copied into `line`
// (cut to line_size - 1 characters), or 0 when the time ran out or a stop
// was asked for (interrupt_requested). Lines given 0 are dropped.
int board_lines_wait(serial_t *link, int32_t timeout_ms, int32_t pause_ms, board_line_verdict_fn verdict, char *line,
                     int32_t line_size);
