#include "esp-image.h"

#include "support/firmware_gen.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>

using namespace orvtest;

namespace {

esp_image_report_t read_image(const Bytes &file) {
  esp_image_report_t report;
  EXPECT_EQ(esp_image_read(file.data(), file.size(), &report), report.verdict);
  return report;
}

std::string reason_of(const esp_image_report_t &report) {
  char text[512];
  esp_image_reason(&report, text, sizeof text);
  return text;
}

std::string warning_of(const esp_image_report_t &report, esp_image_warning_t warning) {
  char text[512];
  esp_image_warning(&report, warning, text, sizeof text);
  return text;
}

EspImageRecipe with(EspImageRecipe recipe, void (*change)(EspImageRecipe &)) {
  change(recipe);
  return recipe;
}

std::string hex(const uint8_t *bytes, size_t n) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

TEST(EspImageRead, RefusesWhatTheBoardWouldNotTake) {
  const EspImageRecipe app = esp_app_spec();
  const Bytes good = esp_image(app);
  const size_t sum_at = esp_checksum_offset(app);
  const size_t size = good.size(); // checksum, then 32 bytes of digest
  ASSERT_EQ(size, sum_at + 33);
  char checksum_text[80];
  std::snprintf(checksum_text, sizeof checksum_text, "checksum mismatch: stored 0x%02x, computed 0x%02x",
                good[sum_at] ^ 0x5A, good[sum_at]);
  Bytes damaged_digest(good.end() - 32, good.end());
  damaged_digest[31] ^= 0x01; // as the generator damages it
  const std::string digest_text =
      "SHA-256 mismatch: stored " + hex(damaged_digest.data(), 32) + ", computed " + hex(&good[sum_at + 1], 32);
  // The second segment's bytes begin after the header, the first segment
  // (its header, the 256-byte description and 1024 bytes) and its own header.
  const size_t second_data = 24 + 8 + 256 + 1024 + 8;

  const struct {
    const char *what;
    Bytes file;
    esp_image_verdict_t verdict;
    std::string reason;
  } rows[] = {
      {"UF2 file", uf2_file(uf2_flash_blocks(2)), ESP_IMAGE_UF2,
       "it is a UF2 file, the I/O board's firmware; pass it with --io-fw"},
      {"short header", Bytes(good.begin(), good.begin() + 11), ESP_IMAGE_SHORT_HEADER,
       "it is only 11 bytes, shorter than the 24-byte image header"},
      {"ESP32-S2", esp_image(with(app, [](auto &s) { s.chip_id = 2; })), ESP_IMAGE_OTHER_CHIP,
       "it is built for the ESP32-S2 (chip id 2); the screen board is an ESP32 (chip id 0)"},
      {"unknown chip", esp_image(with(app, [](auto &s) { s.chip_id = 0x1234; })), ESP_IMAGE_OTHER_CHIP,
       "it is built for chip id 4660; the screen board is an ESP32 (chip id 0)"},
      {"no segments", esp_image(with(app, [](auto &s) { s.segment_count = 0; })), ESP_IMAGE_BAD_SEGMENT_COUNT,
       "its header gives 0 segments; an image has 1 to 16"},
      {"17 segments", esp_image(with(app, [](auto &s) { s.segment_count = 17; })), ESP_IMAGE_BAD_SEGMENT_COUNT,
       "its header gives 17 segments; an image has 1 to 16"},
      {"cut in segment data", Bytes(good.begin(), good.begin() + second_data + 100), ESP_IMAGE_SEGMENT_PAST_END,
       "segment 2 of 3 runs past the end of the file: it needs " + std::to_string(second_data + 2048) +
           " bytes, the file has " + std::to_string(second_data + 100)},
      {"cut in a segment header", Bytes(good.begin(), good.begin() + second_data - 5), ESP_IMAGE_SEGMENT_PAST_END,
       "segment 2 of 3 runs past the end of the file: it needs " + std::to_string(second_data) +
           " bytes, the file has " + std::to_string(second_data - 5)},
      {"cut before the checksum", Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(sum_at)),
       ESP_IMAGE_CHECKSUM_PAST_END,
       "the file ends at " + std::to_string(sum_at) + " bytes, before its checksum byte at offset " +
           std::to_string(sum_at)},
      {"checksum", esp_image(with(app, [](auto &s) { s.checksum_xor = 0x5A; })), ESP_IMAGE_CHECKSUM_MISMATCH,
       checksum_text},
      {"digest cut", Bytes(good.begin(), good.end() - 1), ESP_IMAGE_DIGEST_MISSING,
       "its header promises a SHA-256 digest at offset " + std::to_string(sum_at + 1) + ", but the file ends at " +
           std::to_string(size - 1) + " bytes"},
      {"no digest at all", Bytes(good.begin(), good.end() - 32), ESP_IMAGE_DIGEST_MISSING,
       "its header promises a SHA-256 digest at offset " + std::to_string(sum_at + 1) + ", but the file ends at " +
           std::to_string(sum_at + 1) + " bytes"},
      {"digest", esp_image(with(app, [](auto &s) { s.corrupt_digest = true; })), ESP_IMAGE_DIGEST_MISMATCH,
       digest_text},
  };
  for (const auto &row : rows) {
    const esp_image_report_t r = read_image(row.file);
    EXPECT_EQ(r.verdict, row.verdict) << row.what;
    EXPECT_TRUE(esp_image_refused(r.verdict)) << row.what;
    EXPECT_EQ(reason_of(r), row.reason) << row.what;
  }
}

// The checksum covers every segment byte, and nothing else: the headers and
// the padding are covered by the digest alone.
TEST(EspImageRead, ChecksumCoversEverySegmentByteOnly) {
  EspImageRecipe app = esp_app_spec();
  app.hash_appended = false;
  const Bytes good = esp_image(app);
  const size_t sum_at = esp_checksum_offset(app);
  const esp_image_report_t r = read_image(good);
  ASSERT_EQ(r.verdict, ESP_IMAGE_OK);
  const struct {
    const char *what;
    size_t at;
    esp_image_verdict_t verdict;
  } rows[] = {
      {"first byte of the first segment", r.segments[0].offset, ESP_IMAGE_CHECKSUM_MISMATCH},
      {"a byte of the second segment", r.segments[1].offset + 77, ESP_IMAGE_CHECKSUM_MISMATCH},
      {"last byte of the last segment", r.segments[2].offset + r.segments[2].length - 1, ESP_IMAGE_CHECKSUM_MISMATCH},
      {"entry address in the header", 4, ESP_IMAGE_OK},
      {"padding before the checksum", sum_at - 1, ESP_IMAGE_OK},
  };
  for (const auto &row : rows) {
    Bytes changed = good;
    changed[row.at] ^= 0x10;
    EXPECT_EQ(read_image(changed).verdict, row.verdict) << row.what;
  }
  // With a digest, the same header byte is caught.
  Bytes hashed = esp_image(esp_app_spec());
  hashed[4] ^= 0x10;
  EXPECT_EQ(read_image(hashed).verdict, ESP_IMAGE_DIGEST_MISMATCH);
}

// The checksum is the last byte of the padding to 16 bytes, and what may
// follow the image (a signature block) is not part of it.
TEST(EspImageRead, ChecksumPlaceAndImageEnd) {
  const auto one_segment = [](size_t length, bool hash, size_t trailer) {
    EspImageRecipe recipe;
    recipe.with_app_desc = false;
    recipe.hash_appended = hash;
    recipe.segments = {{0x3F400020, Bytes(length, 0x5C)}};
    recipe.trailer = Bytes(trailer, 0xFF);
    return esp_image(recipe);
  };
  const struct {
    size_t length;
    bool hash;
    size_t trailer, checksum_offset, image_end;
  } rows[] = {
      {15, false, 0, 47, 48},   // segment ends at 47: no padding
      {16, false, 0, 63, 64},   // ends at 48: fifteen bytes of padding
      {20, false, 100, 63, 64}, // bytes after the checksum
      {16, true, 0, 63, 96},    // the digest follows the checksum
      {16, true, 4096, 63, 96}, // and a signature block the digest
  };
  for (const auto &row : rows) {
    const esp_image_report_t r = read_image(one_segment(row.length, row.hash, row.trailer));
    EXPECT_EQ(r.verdict, ESP_IMAGE_OK) << row.length;
    EXPECT_EQ(r.checksum_offset, row.checksum_offset) << row.length;
    EXPECT_EQ(r.image_end, row.image_end) << row.length;
  }
}

TEST(EspImageRead, ChipNames) {
  const struct {
    uint16_t id;
    const char *name;
  } rows[] = {{0, "ESP32"},     {2, "ESP32-S2"},  {5, "ESP32-C3"},  {9, "ESP32-S3"}, {12, "ESP32-C2"},
              {13, "ESP32-C6"}, {16, "ESP32-H2"}, {18, "ESP32-P4"}, {1, nullptr},    {0xFFFF, nullptr}};
  for (const auto &row : rows) {
    const char *name = esp_chip_name(row.id);
    EXPECT_STREQ(name ? name : "(none)", row.name ? row.name : "(none)") << row.id;
  }
}

TEST(EspImageRead, ApplicationDescription) {
  EspImageRecipe app = esp_app_spec();
  app.app_desc.version = std::string(32, 'v'); // fills its field: no NUL before project_name
  app.app_desc.project_name = "screen";
  app.app_desc.date = std::string(40, 'd'); // longer than its field: written cut to 16
  app.app_desc.secure_version = 3;
  esp_image_report_t r = read_image(esp_image(app));
  ASSERT_EQ(r.verdict, ESP_IMAGE_OK);
  ASSERT_TRUE(r.has_app_desc);
  EXPECT_EQ(r.warnings, 0u);
  EXPECT_EQ(std::string(r.app_desc.version), std::string(32, 'v'));
  EXPECT_STREQ(r.app_desc.project_name, "screen");
  EXPECT_STREQ(r.app_desc.time, "10:21:07");
  EXPECT_EQ(std::string(r.app_desc.date), std::string(16, 'd'));
  EXPECT_STREQ(r.app_desc.idf_version, "v5.1.2");
  EXPECT_EQ(r.app_desc.secure_version, 3u);

  // The magic word in a first segment too short to hold the texts: none.
  EspImageRecipe short_first;
  short_first.with_app_desc = false;
  short_first.segments = {{0x3F400020, Bytes{0x32, 0x54, 0xCD, 0xAB, 0, 0, 0, 0}}, {0x400D0020, Bytes(64, 1)}};
  r = read_image(esp_image(short_first));
  EXPECT_EQ(r.verdict, ESP_IMAGE_OK);
  EXPECT_FALSE(r.has_app_desc);
  EXPECT_EQ(r.warnings, static_cast<uint32_t>(ESP_IMAGE_WARN_NO_APP_DESC));
}

// An application runs from flash; an image all of whose segments load into
// RAM is a bootloader's. Each segment address alone, with the description.
TEST(EspImageRead, FlashMappedSegments) {
  const struct {
    uint32_t address;
    bool mapped;
  } rows[] = {
      {0x3F400000, true}, {0x3F7FFFFF, true},  {0x3F800000, false}, {0x3F3FFFFF, false}, {0x400D0000, true},
      {0x403FFFFF, true}, {0x40400000, false}, {0x400CFFFF, false}, {0x3FFB0000, false}, {0x40080000, false},
  };
  for (const auto &row : rows) {
    EspImageRecipe recipe;
    recipe.segments = {{row.address, Bytes(64, 7)}};
    const esp_image_report_t r = read_image(esp_image(recipe));
    ASSERT_EQ(r.verdict, ESP_IMAGE_OK) << std::hex << row.address;
    EXPECT_EQ(r.flash_segments, row.mapped ? 1u : 0u) << std::hex << row.address;
    EXPECT_EQ((r.warnings & ESP_IMAGE_WARN_NO_FLASH_SEGMENT) != 0, !row.mapped) << std::hex << row.address;
  }
}

// Sent all the same, with a warning that names what was found.
TEST(EspImageRead, WarningsNameWhatWasFound) {
  Bytes encrypted = esp_image(esp_app_spec());
  encrypted[0] = 0x7F;
  esp_image_report_t r = read_image(encrypted);
  EXPECT_EQ(r.verdict, ESP_IMAGE_NOT_E9);
  EXPECT_FALSE(esp_image_refused(r.verdict));
  EXPECT_EQ(reason_of(r), "");
  EXPECT_EQ(warning_of(r, ESP_IMAGE_WARN_NOT_E9), "does not start with the ESP32 image byte 0xE9 (it starts with "
                                                  "0x7f); sending it unchanged, as for a pre-encrypted image");

  r = read_image(esp_image(esp_bootloader_spec()));
  EXPECT_EQ(r.verdict, ESP_IMAGE_OK);
  EXPECT_EQ(warning_of(r, ESP_IMAGE_WARN_NOT_E9), "");
  EXPECT_EQ(warning_of(r, ESP_IMAGE_WARN_NO_APP_DESC),
            "has no application description (its first segment does not start with 0xABCD5432): it looks like a "
            "bootloader, not an application");
  EXPECT_EQ(warning_of(r, ESP_IMAGE_WARN_NO_FLASH_SEGMENT),
            "has none of its 3 segments mapped from flash (all load into RAM): it looks like a bootloader, not an "
            "application");
}

} // namespace
