#pragma once
#include <cstddef>
#include <cstdint>

// What the screen board's ESP32 would make of an application image, read the
// way its bootloader reads it. Pure: bytes in, report out (the SHA-256 comes
// from sha256.h).
//
// The image: a 24-byte header (magic 0xE9, segment count, chip id at bytes
// 12-13, "hash appended" at byte 23); then each segment as its load address,
// its length and its bytes; then zero padding up to a 16-byte boundary whose
// last byte is the checksum (0xEF XOR every segment byte); then, when the
// header says so, the SHA-256 of everything up to and including the checksum.
// Bytes after that are allowed: signature blocks are appended there.

constexpr uint8_t ESP_IMAGE_MAGIC = 0xE9;
constexpr uint32_t ESP_IMAGE_MAX_SEGMENTS = 16;
constexpr uint16_t ESP_CHIP_ESP32 = 0;

enum esp_image_verdict_t {
  ESP_IMAGE_OK = 0,
  ESP_IMAGE_NOT_E9,            // does not start with 0xE9 (a pre-encrypted image, perhaps): a warning, not a refusal
  ESP_IMAGE_UF2,               // a UF2 file: the I/O board's image
  ESP_IMAGE_SHORT_HEADER,      // starts with 0xE9 but is shorter than the 24-byte header
  ESP_IMAGE_OTHER_CHIP,        // built for chip_id, not the ESP32
  ESP_IMAGE_BAD_SEGMENT_COUNT, // segment_count is 0 or above 16
  ESP_IMAGE_SEGMENT_PAST_END,  // segment bad_segment (its header or its bytes) runs past the end of the file
  ESP_IMAGE_CHECKSUM_PAST_END, // the file ends before the checksum byte at checksum_offset
  ESP_IMAGE_CHECKSUM_MISMATCH, // checksum_stored is not checksum_computed
  ESP_IMAGE_DIGEST_MISSING,    // the header promises a digest at digest_offset that the file does not hold
  ESP_IMAGE_DIGEST_MISMATCH,   // digest_stored is not digest_computed
  ESP_IMAGE_DIGEST_FAILED,     // the platform could not compute the SHA-256
};

// Things an image the board would take says about itself that are typical
// of the wrong file: each is shown as a warning, and the file is still sent.
enum esp_image_warning_t : uint32_t {
  ESP_IMAGE_WARN_NOT_E9 = 1u << 0,           // set with ESP_IMAGE_NOT_E9
  ESP_IMAGE_WARN_NO_APP_DESC = 1u << 1,      // no application description: a bootloader, not an application
  ESP_IMAGE_WARN_NO_FLASH_SEGMENT = 1u << 2, // no segment mapped from flash: a bootloader, not an application
};

struct esp_image_segment_t {
  uint32_t load_address;
  uint32_t length;
  size_t offset; // of its bytes in the file
};

// The application description (esp_app_desc_t) at the start of the first
// segment. Each text is what its fixed-size field holds up to its first NUL,
// or the whole field when it has none, and is NUL-terminated here. The text
// is the file's: show it escaped.
struct esp_app_desc_text_t {
  uint32_t secure_version;
  char version[33];
  char project_name[33];
  char time[17];
  char date[17];
  char idf_version[33];
};

struct esp_image_report_t {
  esp_image_verdict_t verdict;
  uint32_t warnings; // esp_image_warning_t bits, for an image the board takes (or ESP_IMAGE_NOT_E9)
  size_t file_size;
  uint8_t first_bytes[4]; // the file's first bytes (fewer when it is shorter; zero after them)

  // The header, once it is whole.
  uint16_t chip_id;
  uint32_t segment_count;
  uint32_t entry_address;
  bool hash_appended;

  // The segments read, in file order, up to the first that runs past the end.
  esp_image_segment_t segments[ESP_IMAGE_MAX_SEGMENTS];
  uint32_t segments_read;
  uint32_t bad_segment;     // ESP_IMAGE_SEGMENT_PAST_END: its index, 0-based
  uint64_t bad_segment_end; // ... and the file size it would need
  uint32_t flash_segments;  // segments mapped from flash (DROM 0x3F400000-0x3F800000, IROM 0x400D0000-0x40400000)

  size_t checksum_offset;
  uint8_t checksum_stored;
  uint8_t checksum_computed;
  size_t digest_offset; // right after the checksum, when hash_appended
  uint8_t digest_stored[32];
  uint8_t digest_computed[32];
  size_t image_end; // one past the checksum, or past the digest when there is one

  bool has_app_desc;
  esp_app_desc_text_t app_desc;
};

// Reads `size` bytes of a screen firmware file. Fills every field of `out`
// and returns its verdict.
esp_image_verdict_t esp_image_read(const uint8_t *bytes, size_t size, esp_image_report_t *out);

// True for a verdict that refuses the file (all but ESP_IMAGE_OK and
// ESP_IMAGE_NOT_E9).
bool esp_image_refused(esp_image_verdict_t verdict);

// Why the file is refused, for the line "is not a valid ESP32 application
// image: <reason>": short, with the values found. Empty for a verdict that
// does not refuse. Cut to fit `dest_size`.
void esp_image_reason(const esp_image_report_t *report, char *dest, size_t dest_size);

// The text of one warning, for the line "WARNING: '<file>' <text>": what was
// found and what it suggests. Empty for a warning bit not set in the report.
void esp_image_warning(const esp_image_report_t *report, esp_image_warning_t warning, char *dest, size_t dest_size);

// "ESP32", "ESP32-S2", ... for a chip id of an ESP-IDF image header, or null
// for an id not known here.
const char *esp_chip_name(uint16_t chip_id);
