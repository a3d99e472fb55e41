#pragma once
#include <cstdint>

// --io-fw: reboots the I/O board into BOOTSEL and copies the UF2 image onto
// its RPI-RP2 drive. Returns the exit status, 0 or -1.
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

// Writes the image onto the drive's root under the image file's own name
// and waits until the drive has it. True only then; false after printing
// why.
bool copy_to_drive(const char *drive, const char *image_path, const uint8_t *image, int32_t size);
