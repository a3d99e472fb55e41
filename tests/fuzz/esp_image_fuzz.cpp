// libFuzzer target for the ESP32 image reader. The input is either a file as
// it is, or (mostly) a recipe: a correct image made by the test generator,
// then damaged at a few places and perhaps cut short. Whatever the bytes,
// the reader must stay inside them, and:
//   - an image the generator made and nothing damaged is taken;
//   - an image it takes has every segment inside the file, a checksum that a
//     byte-by-byte XOR confirms, the digest that SHA-256 confirms when the
//     header asks for one, and description texts inside their fields;
//   - a refusal has a reason text and a taken image has none.
#include "esp-image.h"
#include "sha256.h"
#include "support/firmware_gen.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace orvtest;

namespace {

constexpr uint32_t kAddresses[] = {0x3F400020, 0x400D0020, 0x3FFB0000, 0x40080000,
                                   0x3F3FFFF0, 0x403FFFF0, 0x40400000, 0x3F800000};

uint32_t le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool text_inside(const char *text, size_t field) { return std::strlen(text) <= field; }

void check_taken(const Bytes &file, const esp_image_report_t &r) {
  size_t at = 24;
  uint8_t sum = 0xEF;
  for (uint32_t i = 0; i < r.segment_count; ++i) {
    if (at + 8 > file.size())
      std::abort();
    const uint32_t length = le32(&file[at + 4]);
    if (r.segments[i].offset != at + 8 || r.segments[i].length != length || at + 8 + length > file.size())
      std::abort();
    for (size_t k = 0; k < length; ++k)
      sum ^= file[at + 8 + k];
    at += 8 + length;
  }
  while (at % 16 != 15)
    ++at;
  if (r.checksum_offset != at || at >= file.size() || file[at] != sum)
    std::abort();
  if (file[23] != 0) {
    uint8_t digest[SHA256_SIZE];
    if (at + 1 + SHA256_SIZE > file.size() || !sha256(file.data(), at + 1, digest) ||
        std::memcmp(digest, &file[at + 1], SHA256_SIZE) != 0 || r.image_end != at + 1 + SHA256_SIZE)
      std::abort();
  } else if (r.image_end != at + 1) {
    std::abort();
  }
  const esp_app_desc_text_t &d = r.app_desc;
  if (!text_inside(d.version, 32) || !text_inside(d.project_name, 32) || !text_inside(d.time, 16) ||
      !text_inside(d.date, 16) || !text_inside(d.idf_version, 32))
    std::abort();
  if (r.has_app_desc == ((r.warnings & ESP_IMAGE_WARN_NO_APP_DESC) != 0))
    std::abort();
}

void check(const Bytes &file, bool must_take) {
  esp_image_report_t r;
  const esp_image_verdict_t verdict = esp_image_read(file.data(), file.size(), &r);
  if (verdict != r.verdict || (must_take && verdict != ESP_IMAGE_OK))
    std::abort();
  if (verdict == ESP_IMAGE_OK)
    check_taken(file, r);
  char text[256];
  esp_image_reason(&r, text, sizeof text);
  if (std::strlen(text) >= sizeof text || (text[0] != '\0') != esp_image_refused(verdict))
    std::abort();
  for (auto w : {ESP_IMAGE_WARN_NOT_E9, ESP_IMAGE_WARN_NO_APP_DESC, ESP_IMAGE_WARN_NO_FLASH_SEGMENT}) {
    esp_image_warning(&r, w, text, sizeof text);
    if ((text[0] != '\0') != ((r.warnings & w) != 0))
      std::abort();
  }
  if (verdict == ESP_IMAGE_CHECKSUM_MISMATCH && r.checksum_stored == r.checksum_computed)
    std::abort();
}

// Recipe: [segments][flags][lengths and addresses...][damage...]
void from_recipe(const uint8_t *data, size_t size) {
  if (size < 2)
    return;
  EspImageRecipe recipe;
  const uint32_t segments = 1 + data[0] % 4;
  recipe.hash_appended = data[1] & 1;
  recipe.with_app_desc = data[1] & 2;
  recipe.app_desc.version = std::string(data[1] >> 2, 'v'); // up to 63: past its field too
  size_t at = 2;
  for (uint32_t i = 0; i < segments && at + 2 <= size; ++i, at += 2) {
    const size_t length = data[at] * 3u % 301;
    recipe.segments.push_back({kAddresses[data[at + 1] % 8], Bytes(length, data[at + 1])});
  }
  if (recipe.segments.empty())
    return;
  if (at < size && data[at] < 16) // now and then a signature block after the image
    recipe.trailer = Bytes(data[at] * 16u, 0xA5);
  Bytes file = esp_image(recipe);
  check(file, true);

  bool damaged = false;
  for (at += 1; at + 3 <= size; at += 3) {
    if (data[at] == 0xFF) { // cut it
      file.resize(static_cast<size_t>(data[at + 1] << 8 | data[at + 2]) % (file.size() + 1));
    } else if (!file.empty()) {
      file[(data[at] << 8 | data[at + 1]) % file.size()] ^= data[at + 2];
    }
    damaged = true;
  }
  if (damaged)
    check(file, false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  if (data[0] < 32)
    check(Bytes(data + 1, data + size), false);
  else
    from_recipe(data + 1, size - 1);
  return 0;
}
