#include "firmware_gen.h"

#include "sha256.h"

#include <algorithm>
#include <cstring>

namespace orvtest {

namespace {

void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void append32(Bytes *out, uint32_t v) {
  uint8_t b[4];
  put32(b, v);
  out->insert(out->end(), b, b + 4);
}

// Bytes that look like code: varied, so that a checksum or digest that
// skipped any of them would differ.
Bytes pattern(size_t n, uint32_t seed) {
  Bytes data(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto &b : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return data;
}

void put_text(uint8_t *field, size_t field_size, const std::string &text) {
  std::memcpy(field, text.data(), std::min(field_size, text.size()));
}

Bytes app_desc_bytes(const EspAppDesc &desc) {
  Bytes d(256, 0);
  put32(d.data(), 0xABCD5432);
  put32(d.data() + 4, desc.secure_version);
  put_text(d.data() + 16, 32, desc.version);
  put_text(d.data() + 48, 32, desc.project_name);
  put_text(d.data() + 80, 16, desc.time);
  put_text(d.data() + 96, 16, desc.date);
  put_text(d.data() + 112, 32, desc.idf_version);
  return d;
}

std::vector<EspSegment> segments_of(const EspImageRecipe &recipe) {
  std::vector<EspSegment> segments = recipe.segments;
  if (recipe.with_app_desc && !segments.empty()) {
    Bytes desc = app_desc_bytes(recipe.app_desc);
    segments[0].data.insert(segments[0].data.begin(), desc.begin(), desc.end());
  }
  return segments;
}

} // namespace

Bytes uf2_block_bytes(const Uf2Block &b) {
  Bytes out(512, 0);
  uint8_t *p = out.data();
  put32(p, b.magic0);
  put32(p + 4, b.magic1);
  put32(p + 8, b.flags);
  put32(p + 12, b.address);
  put32(p + 16, b.payload_size);
  put32(p + 20, b.number);
  put32(p + 24, b.count);
  put32(p + 28, b.family);
  std::memset(p + 32, b.fill, 476);
  put32(p + 508, b.magic_end);
  return out;
}

Bytes uf2_file(const std::vector<Uf2Block> &blocks) {
  Bytes out;
  out.reserve(blocks.size() * 512);
  for (const auto &b : blocks) {
    const Bytes one = uf2_block_bytes(b);
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

std::vector<Uf2Block> uf2_flash_blocks(uint32_t n, uint32_t base, uint32_t family) {
  std::vector<Uf2Block> blocks(n);
  for (uint32_t i = 0; i < n; ++i) {
    blocks[i].address = base + 256 * i;
    blocks[i].number = i;
    blocks[i].count = n;
    blocks[i].family = family;
    blocks[i].fill = static_cast<uint8_t>(i);
  }
  return blocks;
}

std::vector<Uf2Block> uf2_ram_blocks(uint32_t n, uint32_t base) { return uf2_flash_blocks(n, base); }

std::vector<Uf2Block> uf2_universal_blocks(uint32_t n, uint32_t m) {
  std::vector<Uf2Block> blocks = uf2_flash_blocks(n);
  const std::vector<Uf2Block> rp2350 = uf2_flash_blocks(m, kRp2040Flash, kFamilyRp2350ArmS);
  blocks.insert(blocks.end(), rp2350.begin(), rp2350.end());
  return blocks;
}

EspImageRecipe esp_app_spec(size_t app_bytes) {
  const size_t drom = (app_bytes / 4) & ~size_t{3};
  const size_t irom = (app_bytes / 2) & ~size_t{3};
  const size_t dram = (app_bytes - drom - irom) & ~size_t{3};
  EspImageRecipe recipe;
  recipe.segments = {{0x3F400020, pattern(drom, 1)}, {0x400D0020, pattern(irom, 2)}, {0x3FFB0000, pattern(dram, 3)}};
  return recipe;
}

EspImageRecipe esp_bootloader_spec() {
  EspImageRecipe recipe;
  recipe.with_app_desc = false;
  recipe.entry_address = 0x40080400;
  recipe.segments = {{0x3FFF0030, pattern(1024, 4)}, {0x40078000, pattern(2048, 5)}, {0x40080400, pattern(512, 6)}};
  return recipe;
}

size_t esp_checksum_offset(const EspImageRecipe &recipe) {
  size_t at = 24;
  for (const auto &s : segments_of(recipe))
    at += 8 + s.data.size();
  return at + 15 - at % 16;
}

Bytes esp_image(const EspImageRecipe &recipe) {
  const std::vector<EspSegment> segments = segments_of(recipe);
  Bytes out(24, 0);
  out[0] = 0xE9;
  out[1] = static_cast<uint8_t>(recipe.segment_count >= 0 ? recipe.segment_count : static_cast<int>(segments.size()));
  out[2] = 2;    // flash mode DIO
  out[3] = 0x20; // 4 MB, 40 MHz
  put32(out.data() + 4, recipe.entry_address);
  out[8] = 0xEE; // no write-protect pin
  out[12] = static_cast<uint8_t>(recipe.chip_id);
  out[13] = static_cast<uint8_t>(recipe.chip_id >> 8);
  out[23] = recipe.hash_appended ? 1 : 0;

  uint8_t checksum = 0xEF;
  for (const auto &s : segments) {
    append32(&out, s.load_address);
    append32(&out, static_cast<uint32_t>(s.data.size()));
    out.insert(out.end(), s.data.begin(), s.data.end());
    for (uint8_t b : s.data)
      checksum ^= b;
  }
  out.resize(out.size() + 15 - out.size() % 16, 0);
  out.push_back(checksum ^ recipe.checksum_xor);
  if (recipe.hash_appended) {
    uint8_t digest[SHA256_SIZE];
    sha256(out.data(), out.size(), digest);
    if (recipe.corrupt_digest)
      digest[SHA256_SIZE - 1] ^= 0x01;
    out.insert(out.end(), digest, digest + SHA256_SIZE);
  }
  out.insert(out.end(), recipe.trailer.begin(), recipe.trailer.end());
  if (recipe.truncate_to < out.size())
    out.resize(recipe.truncate_to);
  return out;
}

Bytes esp_app_image_of_size(size_t size) {
  // The headers, the description, the padding and the digest take at most
  // 352 bytes beyond the segments' own.
  EspImageRecipe recipe = esp_app_spec(size < 512 ? 112 : size - 400);
  const size_t image = esp_image(recipe).size();
  recipe.trailer = pattern(size > image ? size - image : 0, 7);
  return esp_image(recipe);
}

} // namespace orvtest
