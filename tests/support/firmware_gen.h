#pragma once
// Firmware files made by the tests themselves, so that no third-party image
// has to be kept in the repository: UF2 files for the I/O board and ESP32
// application images for the screen board, correct by default, with a knob
// for each thing that can be wrong with them. Built into the unit tests of
// both targets and into the Linux test support (end-to-end tests, simulator).
#include <cstdint>
#include <string>
#include <vector>

namespace orvtest {

using Bytes = std::vector<uint8_t>;

// ---- UF2 ----

constexpr uint32_t kUf2FlagNotMainFlash = 0x00000001;
constexpr uint32_t kUf2FlagFamilyId = 0x00002000;
constexpr uint32_t kFamilyRp2040 = 0xe48bff56;
constexpr uint32_t kFamilyRp2350ArmS = 0xe48bff59;
constexpr uint32_t kFamilyRp2350Riscv = 0xe48bff5a;
constexpr uint32_t kFamilyAbsolute = 0xe48bff57;
constexpr uint32_t kRp2040Flash = 0x10000000;
constexpr uint32_t kRp2040Ram = 0x20000000;

// One 512-byte block, field by field.
struct Uf2Block {
  uint32_t magic0 = 0x0A324655;
  uint32_t magic1 = 0x9E5D5157;
  uint32_t flags = kUf2FlagFamilyId;
  uint32_t address = kRp2040Flash;
  uint32_t payload_size = 256;
  uint32_t number = 0;
  uint32_t count = 1;
  uint32_t family = kFamilyRp2040; // the file size field when the family flag is clear
  uint32_t magic_end = 0x0AB16F30;
  uint8_t fill = 0; // every payload byte
};

Bytes uf2_block_bytes(const Uf2Block &block);
Bytes uf2_file(const std::vector<Uf2Block> &blocks);

// An image of n blocks numbered 0..n-1, 256 bytes apart from `base`, in
// order. Change any block before making the file.
std::vector<Uf2Block> uf2_flash_blocks(uint32_t n, uint32_t base = kRp2040Flash, uint32_t family = kFamilyRp2040);
std::vector<Uf2Block> uf2_ram_blocks(uint32_t n, uint32_t base = kRp2040Ram);
// A universal file as picotool makes it: an RP2040 image of n blocks, then
// an RP2350 (Arm secure) image of m blocks with its own numbering.
std::vector<Uf2Block> uf2_universal_blocks(uint32_t n, uint32_t m);

// ---- ESP32 application image ----

struct EspSegment {
  uint32_t load_address;
  Bytes data;
};

// esp_app_desc_t's texts; each is written into its fixed-size field, cut to
// the field and NUL-padded (a text as long as its field has no NUL).
struct EspAppDesc {
  uint32_t secure_version = 0;
  std::string version = "1.4.2";
  std::string project_name = "orvane-screen";
  std::string time = "10:21:07";
  std::string date = "Mar  3 2025";
  std::string idf_version = "v5.1.2";
};

struct EspImageRecipe {
  uint16_t chip_id = 0;
  uint32_t entry_address = 0x40081000;
  bool hash_appended = true;
  std::vector<EspSegment> segments;
  bool with_app_desc = true; // write the description at the start of the first segment's data
  EspAppDesc app_desc;

  // Knobs that break what a correct image has.
  int segment_count = -1;      // the header's count instead of the real one
  uint8_t checksum_xor = 0;    // XORed into the stored checksum
  bool corrupt_digest = false; // flip a bit of the stored digest
  size_t truncate_to = SIZE_MAX;
  Bytes trailer; // appended after the image (a signature block, say)
};

// A typical application: flash-mapped constants (DROM, with the description
// at its start), flash-mapped code (IROM) and initialised RAM (DRAM), with
// about `app_bytes` of segment data in all.
EspImageRecipe esp_app_spec(size_t app_bytes = 4096);
// A bootloader: RAM segments only, no description.
EspImageRecipe esp_bootloader_spec();

Bytes esp_image(const EspImageRecipe &recipe);

// A typical application image (esp_app_spec, with its digest) of exactly
// `size` bytes, at least 512: its segments fill all but the last few bytes,
// which follow the digest as a signature block would.
Bytes esp_app_image_of_size(size_t size);

// Where the stored checksum byte of a correct image of `recipe` lies.
size_t esp_checksum_offset(const EspImageRecipe &recipe);

} // namespace orvtest
