// libFuzzer target for the UF2 reader. Its verdict must agree with a plain
// model of the RP2040 boot ROM written with a std::set and nothing clever:
// complete exactly when the model has seen every number of one download,
// the same first restart, the same missing block. The input is either taken
// as a file as it is, or (mostly) read as a recipe for blocks that are nearly
// right, since random bytes almost never carry three magic numbers.
#include "support/firmware_gen.h"
#include "uf2.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

using namespace orvtest;

namespace {

// Addresses near every edge the ROM tests.
constexpr uint32_t kBases[] = {0x10000000, 0x1FFFF000, 0x20000000, 0x20041000, 0x15000000, 0x15003000,
                               0x0FFFFF00, 0x20042000, 0x15004000, 0xFFFFFF00, 0x10000000, 0x20000000,
                               0x30000000, 0x14FFFF00, 0x1FFFFF00, 0x20041F00};

Bytes recipe_file(const uint8_t *data, size_t size) {
  std::vector<Uf2Block> blocks;
  size_t at = 0;
  for (; at + 6 <= size; at += 6) {
    const uint8_t *r = data + at;
    Uf2Block b;
    switch (r[0] & 7) {
    case 5:
      b.magic0 ^= 0x100;
      break;
    case 6:
      b.magic1 ^= 1;
      break;
    case 7:
      b.magic_end ^= 0x80000000;
      break;
    }
    const uint32_t flags[] = {kUf2FlagFamilyId, kUf2FlagFamilyId, 0, kUf2FlagFamilyId | kUf2FlagNotMainFlash};
    b.flags = flags[(r[0] >> 3) & 3];
    const uint32_t families[] = {kFamilyRp2040, kFamilyRp2040, kFamilyRp2040,     kFamilyRp2040,
                                 kFamilyRp2040, kFamilyRp2040, kFamilyRp2350ArmS, kFamilyAbsolute};
    b.family = families[r[0] >> 5];
    b.address = kBases[r[1] & 15] + 256 * (r[1] >> 4) + ((r[2] & 0x80) ? r[5] : 0);
    b.number = (r[2] & 0x40) ? 0xFFFFFFFF - (r[2] & 7) : (r[2] & 7);
    b.count = (r[3] & 0x80) ? 0xFFFFFFFF - (r[3] & 7) : (r[3] & 7);
    b.payload_size = (r[4] & 3) == 3 ? 476 : 256;
    b.fill = r[5];
    blocks.push_back(b);
  }
  Bytes file = uf2_file(blocks);
  file.insert(file.end(), data + at, data + size); // a trailing part shorter than a block
  return file;
}

uint32_t le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool inside(uint32_t address, uint64_t low, uint64_t high) {
  return address >= low && static_cast<uint64_t>(address) + 256 <= high;
}

struct Model {
  bool complete = false;
  uint32_t counted = 0;
  uint32_t restarts = 0;
  int first_restart = 0; // uf2_outcome_t of the first restart
  uint32_t first_restart_index = 0;
  uint32_t count = 0;
  int kind = 0; // 1 flash, 2 RAM
  std::set<uint32_t> seen;
  uint32_t low = 0xFFFFFFFF, end = 0;
};

void restart(Model *m, int why, uint32_t index) {
  if (m->restarts++ == 0) {
    m->first_restart = why;
    m->first_restart_index = index;
  }
}

Model model(const Bytes &file) {
  Model m;
  for (size_t i = 0; i + 512 <= file.size() && !m.complete; i += 512) {
    const uint8_t *p = file.data() + i;
    const auto index = static_cast<uint32_t>(i / 512);
    if (le32(p) != 0x0A324655 || le32(p + 4) != 0x9E5D5157 || le32(p + 508) != 0x0AB16F30)
      continue;
    const uint32_t flags = le32(p + 8), address = le32(p + 12), payload = le32(p + 16);
    const uint32_t number = le32(p + 20), count = le32(p + 24), family = le32(p + 28);
    if (!(flags & 0x2000) || family != 0xe48bff56 || (flags & 1) || payload != 256)
      continue;
    ++m.counted;
    const bool ram = inside(address, 0x20000000, 0x20042000) || inside(address, 0x15000000, 0x15004000);
    const bool flash = inside(address, 0x10000000, 0x20000000);
    if (count == 0) {
      restart(&m, UF2_RESTART_NUMBER, index);
      m.count = 0;
      continue;
    }
    if (!ram && !flash) {
      restart(&m, UF2_RESTART_ADDRESS, index);
      m.count = 0;
      continue;
    }
    if (flash && address % 256 != 0) {
      restart(&m, UF2_RESTART_UNALIGNED, index);
      m.count = 0;
      continue;
    }
    const int kind = ram ? 2 : 1;
    if (count != m.count) {
      if (m.count != 0)
        restart(&m, UF2_RESTART_COUNT, index);
      m.count = count;
      m.kind = kind;
      m.seen.clear();
      m.low = 0xFFFFFFFF;
      m.end = 0;
    } else if (kind != m.kind) {
      restart(&m, UF2_RESTART_KIND, index);
      m.count = 0;
      continue;
    }
    if (number >= count) {
      restart(&m, UF2_RESTART_NUMBER, index);
      m.count = 0;
      continue;
    }
    m.seen.insert(number);
    m.low = address < m.low ? address : m.low;
    m.end = address + 256 > m.end ? address + 256 : m.end;
    m.complete = m.seen.size() == count;
  }
  return m;
}

void check(const Bytes &file) {
  uf2_report_t r;
  const uf2_outcome_t outcome = uf2_read(file.data(), file.size(), &r);
  const Model m = model(file);
  if (outcome != r.outcome || r.counted_blocks != m.counted || r.restarts != m.restarts)
    std::abort();
  if (m.complete != (outcome == UF2_COMPLETE))
    std::abort();
  if (!m.complete && m.counted == 0 && outcome != UF2_NO_COUNTED_BLOCK)
    std::abort();
  if (!m.complete && m.counted > 0 && m.restarts > 0 &&
      (outcome != m.first_restart || r.restart_index != m.first_restart_index))
    std::abort();
  if (!m.complete && m.counted > 0 && m.restarts == 0 && outcome != UF2_MISSING_BLOCK)
    std::abort();
  if (m.count != 0) { // a download going, or complete
    if (r.block_count != m.count || r.target != (m.kind == 2 ? UF2_TARGET_RAM : UF2_TARGET_FLASH))
      std::abort();
    if (!m.seen.empty() && (r.address_low != m.low || r.address_end != m.end))
      std::abort();
    uint32_t missing = 0;
    while (m.seen.count(missing))
      ++missing;
    if (!m.complete && r.missing_block != missing)
      std::abort();
    const uint64_t missing_all = m.count - m.seen.size();
    const bool beyond_file = !m.seen.empty() && *m.seen.rbegin() > r.file_blocks;
    if (!beyond_file && r.missing_blocks != missing_all)
      std::abort();
  } else if (r.target != UF2_TARGET_NONE) {
    std::abort();
  }
  char text[160];
  uf2_reason(&r, text, sizeof text);
  if (std::strlen(text) >= sizeof text || (text[0] == '\0') != (outcome == UF2_COMPLETE))
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  if (data[0] < 32) {
    check(Bytes(data + 1, data + size));
    return 0;
  }
  check(recipe_file(data + 1, size - 1));
  return 0;
}
