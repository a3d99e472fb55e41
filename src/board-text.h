#pragma once
// Lines from the board, made safe to show on the technician's terminal. The
// board is outside our control: whatever it sends must not be able to steer
// the terminal.
#include <cstddef>
#include <string>

// A board line made safe to show on a terminal: control characters other
// than tab (C0, DEL, and C1 whether raw or UTF-8 encoded), the invisible
// characters that reorder or hide text (bidirectional marks, embeddings,
// overrides and isolates, zero-width characters, line and paragraph
// separators) and bytes that are not well-formed UTF-8 are written as \xHH,
// one per byte. dest needs 4 bytes per byte of
// line plus one; a 255-character line fits in BOARD_LINE_SHOWN_SIZE.
constexpr size_t BOARD_LINE_SHOWN_SIZE = 1024;
void board_line_escape(const char *line, char *dest, size_t dest_size);

// Any other text orvup did not write itself (file and port names from the
// command line, drive folders, names from the system), escaped the same way,
// whatever its length.
std::string safe_to_show(const char *text);
