#pragma once
// Lines from the board, made safe to show on the technician's terminal. The
// board is outside our control: whatever it sends must not be able to steer
// the terminal.
#include <cstddef>

// A board line made safe to show on a terminal: control characters other
// than tab (C0, DEL, and C1 whether raw or UTF-8 encoded) and bytes that are
// not well-formed UTF-8 are written as \xHH. dest needs 4 bytes per byte of
// line plus one; a 255-character line fits in BOARD_LINE_SHOWN_SIZE.
constexpr size_t BOARD_LINE_SHOWN_SIZE = 1024;
void board_line_escape(const char *line, char *dest, size_t dest_size);
