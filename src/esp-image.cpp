#include "esp-image.h"

#include "functions.h"

#include "sha256.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kHeaderSize = 24;
constexpr size_t kSegmentHeaderSize = 8;
constexpr uint8_t kChecksumSeed = 0xEF;
constexpr uint32_t kUf2Magic = 0x0A324655; // "UF2\n"
constexpr uint32_t kAppDescMagic = 0xABCD5432;

// esp_app_desc_t: magic, secure_version, two reserved words, then the texts.
constexpr size_t kDescVersion = 16;
constexpr size_t kDescProjectName = 48;
constexpr size_t kDescTime = 80;
constexpr size_t kDescDate = 96;
constexpr size_t kDescIdfVersion = 112;
constexpr size_t kDescTextsEnd = 144;

// The ESP32's address ranges that the cache maps onto flash: a segment
// loaded there is read from flash at run time, as an application's code and
// constants are; a bootloader has none.
bool mapped_from_flash(uint32_t address) {
  return (address >= 0x3F400000 && address < 0x3F800000) || (address >= 0x400D0000 && address < 0x40400000);
}

// XOR of every byte, eight at a time: the checksum covers up to 6 MiB.
uint8_t xor_bytes(const uint8_t *p, size_t n) {
  uint64_t wide = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    wide ^= word;
  }
  uint8_t x = 0;
  for (int shift = 0; shift < 64; shift += 8)
    x ^= static_cast<uint8_t>(wide >> shift);
  for (; i < n; ++i)
    x ^= p[i];
  return x;
}

void copy_text(char *dest, const uint8_t *field, size_t field_size) {
  size_t n = 0;
  while (n < field_size && field[n] != 0)
    ++n;
  std::memcpy(dest, field, n);
  dest[n] = '\0';
}

// The description is taken only when its texts lie wholly inside the first
// segment; a segment too short to hold them has none.
void read_app_desc(const uint8_t *bytes, esp_image_report_t *r) {
  const esp_image_segment_t &first = r->segments[0];
  if (first.length < kDescTextsEnd || read_le32(bytes + first.offset) != kAppDescMagic)
    return;
  const uint8_t *d = bytes + first.offset;
  esp_app_desc_text_t *t = &r->app_desc;
  t->secure_version = read_le32(d + 4);
  copy_text(t->version, d + kDescVersion, sizeof t->version - 1);
  copy_text(t->project_name, d + kDescProjectName, sizeof t->project_name - 1);
  copy_text(t->time, d + kDescTime, sizeof t->time - 1);
  copy_text(t->date, d + kDescDate, sizeof t->date - 1);
  copy_text(t->idf_version, d + kDescIdfVersion, sizeof t->idf_version - 1);
  r->has_app_desc = true;
}

// The segment table. False, with the verdict set, when a segment runs past
// the end of the file.
bool read_segments(const uint8_t *bytes, size_t size, esp_image_report_t *r, size_t *end) {
  size_t at = kHeaderSize;
  for (uint32_t i = 0; i < r->segment_count; ++i) {
    if (size - at < kSegmentHeaderSize) {
      r->bad_segment = i;
      r->bad_segment_end = at + kSegmentHeaderSize;
      r->verdict = ESP_IMAGE_SEGMENT_PAST_END;
      return false;
    }
    esp_image_segment_t *s = &r->segments[i];
    s->load_address = read_le32(bytes + at);
    s->length = read_le32(bytes + at + 4);
    s->offset = at + kSegmentHeaderSize;
    if (size - s->offset < s->length) {
      r->bad_segment = i;
      r->bad_segment_end = static_cast<uint64_t>(s->offset) + s->length;
      r->verdict = ESP_IMAGE_SEGMENT_PAST_END;
      return false;
    }
    ++r->segments_read;
    if (mapped_from_flash(s->load_address))
      ++r->flash_segments;
    at = s->offset + s->length;
  }
  *end = at;
  return true;
}

esp_image_verdict_t check_digest(const uint8_t *bytes, size_t size, esp_image_report_t *r) {
  r->digest_offset = r->image_end;
  if (size - r->digest_offset < SHA256_SIZE)
    return ESP_IMAGE_DIGEST_MISSING;
  std::memcpy(r->digest_stored, bytes + r->digest_offset, SHA256_SIZE);
  if (!sha256(bytes, r->image_end, r->digest_computed))
    return ESP_IMAGE_DIGEST_FAILED;
  r->image_end += SHA256_SIZE;
  return std::memcmp(r->digest_stored, r->digest_computed, SHA256_SIZE) == 0 ? ESP_IMAGE_OK : ESP_IMAGE_DIGEST_MISMATCH;
}

esp_image_verdict_t read_image(const uint8_t *bytes, size_t size, esp_image_report_t *r) {
  if (size >= 4 && read_le32(bytes) == kUf2Magic)
    return ESP_IMAGE_UF2;
  if (size == 0 || bytes[0] != ESP_IMAGE_MAGIC) {
    r->warnings = ESP_IMAGE_WARN_NOT_E9;
    return ESP_IMAGE_NOT_E9;
  }
  if (size < kHeaderSize)
    return ESP_IMAGE_SHORT_HEADER;
  r->segment_count = bytes[1];
  r->entry_address = read_le32(bytes + 4);
  r->chip_id = read_le16(bytes + 12);
  r->hash_appended = bytes[23] != 0;
  // The chip first: an image for another chip is the wrong file, whatever
  // else is wrong with it.
  if (r->chip_id != ESP_CHIP_ESP32)
    return ESP_IMAGE_OTHER_CHIP;
  if (r->segment_count == 0 || r->segment_count > ESP_IMAGE_MAX_SEGMENTS)
    return ESP_IMAGE_BAD_SEGMENT_COUNT;
  size_t end = 0;
  if (!read_segments(bytes, size, r, &end))
    return r->verdict;

  r->checksum_offset = end + 15 - end % 16; // the last byte of the padding to 16
  if (r->checksum_offset >= size)
    return ESP_IMAGE_CHECKSUM_PAST_END;
  uint8_t sum = kChecksumSeed;
  for (uint32_t i = 0; i < r->segment_count; ++i)
    sum ^= xor_bytes(bytes + r->segments[i].offset, r->segments[i].length);
  r->checksum_computed = sum;
  r->checksum_stored = bytes[r->checksum_offset];
  r->image_end = r->checksum_offset + 1;
  if (r->checksum_stored != r->checksum_computed)
    return ESP_IMAGE_CHECKSUM_MISMATCH;
  if (r->hash_appended) {
    const esp_image_verdict_t digest = check_digest(bytes, size, r);
    if (digest != ESP_IMAGE_OK)
      return digest;
  }

  read_app_desc(bytes, r);
  if (!r->has_app_desc)
    r->warnings |= ESP_IMAGE_WARN_NO_APP_DESC;
  if (r->flash_segments == 0)
    r->warnings |= ESP_IMAGE_WARN_NO_FLASH_SEGMENT;
  return ESP_IMAGE_OK;
}

void hex_digest(char *dest, const uint8_t *digest) {
  for (size_t i = 0; i < SHA256_SIZE; ++i)
    format_cut(dest + 2 * i, 3, "%02x", digest[i]);
}

} // namespace

esp_image_verdict_t esp_image_read(const uint8_t *bytes, size_t size, esp_image_report_t *out) {
  *out = esp_image_report_t{};
  out->file_size = size;
  if (size > 0)
    std::memcpy(out->first_bytes, bytes, size < 4 ? size : 4);
  out->verdict = read_image(bytes, size, out);
  return out->verdict;
}

bool esp_image_refused(esp_image_verdict_t verdict) { return verdict != ESP_IMAGE_OK && verdict != ESP_IMAGE_NOT_E9; }

const char *esp_chip_name(uint16_t chip_id) {
  switch (chip_id) {
  case 0:
    return "ESP32";
  case 2:
    return "ESP32-S2";
  case 5:
    return "ESP32-C3";
  case 9:
    return "ESP32-S3";
  case 12:
    return "ESP32-C2";
  case 13:
    return "ESP32-C6";
  case 16:
    return "ESP32-H2";
  case 18:
    return "ESP32-P4";
  default:
    return nullptr;
  }
}

void esp_image_reason(const esp_image_report_t *r, char *dest, size_t dest_size) {
  if (dest_size == 0)
    return;
  dest[0] = '\0';
  const auto size = static_cast<unsigned long long>(r->file_size);
  switch (r->verdict) {
  case ESP_IMAGE_OK:
  case ESP_IMAGE_NOT_E9:
    break;
  case ESP_IMAGE_UF2:
    format_cut(dest, dest_size, "it is a UF2 file, the I/O board's firmware; pass it with --io-fw");
    break;
  case ESP_IMAGE_SHORT_HEADER:
    format_cut(dest, dest_size, "it is only %llu bytes, shorter than the 24-byte image header", size);
    break;
  case ESP_IMAGE_OTHER_CHIP:
    if (const char *name = esp_chip_name(r->chip_id))
      format_cut(dest, dest_size, "it is built for the %s (chip id %u); the screen board is an ESP32 (chip id 0)", name,
                 r->chip_id);
    else
      format_cut(dest, dest_size, "it is built for chip id %u; the screen board is an ESP32 (chip id 0)", r->chip_id);
    break;
  case ESP_IMAGE_BAD_SEGMENT_COUNT:
    format_cut(dest, dest_size, "its header gives %u segments; an image has 1 to 16", r->segment_count);
    break;
  case ESP_IMAGE_SEGMENT_PAST_END:
    format_cut(dest, dest_size,
               "segment %u of %u runs past the end of the file: it needs %llu bytes, the file has %llu",
               r->bad_segment + 1, r->segment_count, static_cast<unsigned long long>(r->bad_segment_end), size);
    break;
  case ESP_IMAGE_CHECKSUM_PAST_END:
    format_cut(dest, dest_size, "the file ends at %llu bytes, before its checksum byte at offset %llu", size,
               static_cast<unsigned long long>(r->checksum_offset));
    break;
  case ESP_IMAGE_CHECKSUM_MISMATCH:
    format_cut(dest, dest_size, "checksum mismatch: stored 0x%02x, computed 0x%02x", r->checksum_stored,
               r->checksum_computed);
    break;
  case ESP_IMAGE_DIGEST_MISSING:
    format_cut(dest, dest_size, "its header promises a SHA-256 digest at offset %llu, but the file ends at %llu bytes",
               static_cast<unsigned long long>(r->digest_offset), size);
    break;
  case ESP_IMAGE_DIGEST_MISMATCH: {
    // Whole: a damaged digest may differ from the right one in its last digit.
    char stored[2 * SHA256_SIZE + 1], computed[2 * SHA256_SIZE + 1];
    hex_digest(stored, r->digest_stored);
    hex_digest(computed, r->digest_computed);
    format_cut(dest, dest_size, "SHA-256 mismatch: stored %s, computed %s", stored, computed);
    break;
  }
  case ESP_IMAGE_DIGEST_FAILED:
    format_cut(dest, dest_size, "its SHA-256 digest could not be computed on this system");
    break;
  }
}

void esp_image_warning(const esp_image_report_t *r, esp_image_warning_t warning, char *dest, size_t dest_size) {
  if (dest_size == 0)
    return;
  dest[0] = '\0';
  if (!(r->warnings & warning))
    return;
  switch (warning) {
  case ESP_IMAGE_WARN_NOT_E9:
    format_cut(dest, dest_size,
               "does not start with the ESP32 image byte 0xE9 (it starts with 0x%02x); sending it unchanged, as "
               "for a pre-encrypted image",
               r->first_bytes[0]);
    break;
  case ESP_IMAGE_WARN_NO_APP_DESC:
    format_cut(dest, dest_size,
               "has no application description (its first segment does not start with 0xABCD5432): it looks "
               "like a bootloader, not an application");
    break;
  case ESP_IMAGE_WARN_NO_FLASH_SEGMENT:
    format_cut(dest, dest_size,
               "has none of its %u segments mapped from flash (all load into RAM): it looks like a bootloader, "
               "not an application",
               r->segment_count);
    break;
  }
}
