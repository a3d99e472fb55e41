#pragma once
#include <cstddef>
#include <cstdint>

// What the RP2040's boot ROM makes of a UF2 file copied onto its BOOTSEL
// drive: whether it completes the download (and then flashes the image or
// runs it from RAM), and if not, why. Pure: bytes in, report out.
//
// The ROM takes the file's 512-byte blocks in file order and counts a block
// only when its three magic numbers are intact, it carries the RP2040 family
// id, it is not marked "not main flash" and its payload is 256 bytes; every
// other block it skips without a word (that is how a universal file with
// RP2040 and RP2350 blocks works). A counted block that targets neither
// flash nor RAM wholly, whose number is not below its block count, or whose
// block count or target kind differs from the blocks before it, restarts
// the download. It completes once every block number 0..n-1 of one download
// has been seen, in any order, duplicates allowed. A trailing part shorter
// than a block is never looked at.

constexpr uint32_t UF2_FAMILY_RP2040 = 0xe48bff56;

enum uf2_outcome_t {
  UF2_COMPLETE = 0,      // the ROM would complete the download
  UF2_NO_COUNTED_BLOCK,  // not one block the ROM takes; the family fields say what the blocks carry
  UF2_MISSING_BLOCK,     // the download lacks block number missing_block of block_count
  UF2_RESTART_ADDRESS,   // the restarting block targets restart_address, not wholly inside flash or RAM
  UF2_RESTART_UNALIGNED, // ... targets restart_address in the flash window, not on a 256-byte boundary
  UF2_RESTART_KIND,      // ... targets RAM after blocks for flash, or flash after blocks for RAM
  UF2_RESTART_COUNT,     // ... says restart_count blocks where the blocks before it say restart_previous_count
  UF2_RESTART_NUMBER,    // ... is numbered restart_number, not below its own block count restart_count
  UF2_NO_MEMORY,         // the reader could not allocate its table of the blocks seen
};

enum uf2_target_t {
  UF2_TARGET_NONE = 0,
  UF2_TARGET_FLASH, // 0x10000000 up to 0x20000000, 256-byte aligned
  // 0x20000000-0x20042000 (SRAM) or 0x15000000-0x15004000 (the XIP cache as
  // RAM; inside the flash window, so 256-byte aligned as well)
  UF2_TARGET_RAM,
};

constexpr uint32_t UF2_FAMILIES_KEPT = 4;

struct uf2_report_t {
  uf2_outcome_t outcome;
  uint32_t file_blocks;    // whole 512-byte blocks in the file
  uint32_t counted_blocks; // blocks the ROM took, up to the completion when there is one

  // The download: the one that completed, or else the one still going at
  // the end of the file (target UF2_TARGET_NONE when a restart ended the
  // last one and nothing began after it).
  uf2_target_t target;
  uint32_t block_count;
  uint32_t address_low; // lowest address its blocks write
  uint32_t address_end; // one past the highest address its blocks write
  // When it did not complete: the lowest block number none of its blocks
  // carried, and how many numbers below block_count none carried (a lower
  // bound only when blocks carry numbers above the file's block count).
  uint32_t missing_block;
  uint32_t missing_blocks;

  // The first counted block that restarted the download. The first, since
  // in a file with one damaged block that is the damaged one: a block with
  // a changed count restarts the download, and so does the block after it,
  // which returns to the old count.
  uint32_t restarts;        // how many restarts in all (0: none, the fields below are 0)
  uint32_t restart_index;   // its position in the file, 0-based
  uint32_t restart_address; // its target address
  uint32_t restart_number;  // its block number
  uint32_t restart_count;   // its block count
  uint32_t restart_previous_count;

  // What the blocks carry that the ROM did not count.
  uint32_t intact_blocks;               // blocks with all three magic numbers
  uint32_t unflagged_blocks;            // intact blocks with no family id
  uint32_t families[UF2_FAMILIES_KEPT]; // distinct family ids other than the RP2040's, in file order
  uint32_t family_count;                // how many of them are kept
  bool more_families;                   // there are more than UF2_FAMILIES_KEPT
  uint32_t rp2040_not_main_flash;       // RP2040 blocks marked "not main flash"
  uint32_t rp2040_other_payload;        // RP2040 blocks whose payload is not 256 bytes
  uint32_t rp2040_payload_size;         // the payload size of the first of those
};

// Reads `size` bytes of a UF2 file as the RP2040 boot ROM would take them.
// Fills every field of `out` and returns its outcome.
uf2_outcome_t uf2_read(const uint8_t *bytes, size_t size, uf2_report_t *out);

// Why the ROM would not complete the download, for the line "would not flash
// an RP2040: <reason>": short, with the numbers that tell what to fix. An
// empty text for UF2_COMPLETE. The text is cut to fit `dest_size`.
void uf2_reason(const uf2_report_t *report, char *dest, size_t dest_size);

// The name of a published Raspberry Pi UF2 family id ("RP2040", "RP2350 Arm
// secure", ...), or null for any other id.
const char *uf2_family_name(uint32_t family);
