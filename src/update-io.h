#pragma once
#include <cstdint>

// --io-fw: reboots the I/O board into BOOTSEL, copies the UF2 image onto
// its RPI-RP2 drive and waits for the board to restart. Returns the exit
// status: 0 once the drive left (the board took the image), -1 otherwise.
int action_update_io();

// ---- The action's parts, visible for tests ----

enum uf2_verdict_t {
  UF2_PLAUSIBLE = 0,
  UF2_TOO_LARGE = 1, // more than 8 MiB: larger than any RP2040 image can be
  UF2_NOT_UF2 = 2,   // shorter than one UF2 block, or no UF2 magic at its start
};

// Tests only what tells a UF2 image from the wrong file: its size and the
// first block's first magic number. The size is tested first, so `image`
// is read only when it holds at least one block.
uf2_verdict_t uf2_check(const uint8_t *image, int32_t size);

// The part of `path` after its last slash or backslash (the whole string
// when it has neither): a pointer into `path` itself.
const char *path_basename(const char *path);

enum copy_result_t {
  COPY_DONE = 0,
  COPY_FAILED = 1,      // the image is not on the drive; why was printed
  COPY_UNFINISHED = 2,  // every byte was written, but the drive failed the last step (warned): it may have
                        // left because the board took the image
  COPY_INTERRUPTED = 3, // a stop was asked for: the copy ended part way, its file closed; nothing was said
};

// Writes the image onto the drive's root under the image file's own name
// (or a form of it that the drive can hold, said in one line), once sure the
// file lands on the drive, and waits until the drive has it. Written in
// pieces, looking between them whether the technician asked to stop.
copy_result_t copy_to_drive(const char *drive, const char *image_path, const uint8_t *image, int32_t size);

// After the copy: waits up to 10 s for the drive to leave, which is the
// boot ROM rebooting with the image; then says so and waits up to 15 s for
// the board's serial port to come back. `copy_unfinished`: the copy ended
// with an error after every byte was written. Returns the exit status.
int confirm_flash(const char *drive, const char *port, bool copy_unfinished);
