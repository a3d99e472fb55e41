#pragma once
#include <cstddef>
#include <cstdint>

// --screen-fw: streams the screen board's image through the I/O board's
// update bridge. Returns the exit status, 0 or -1.
int action_update_screen();

// ---- The action's parts that need no port, visible for tests ----

// The update bridge's status words, compared with the whole line as
// received: 1 for "DONE", -1 for "FAIL", "TIMEOUT" and "NORESP", 0 for any
// other line (free text).
int classify_status(const char *line);

// The progress line, "\r  Sending: ..." without a line feed, for `sent` of
// `total` bytes after `elapsed_ms` of transfer.
void progress_text(char *dest, size_t dest_size, int32_t sent, int32_t total, int32_t elapsed_ms);
