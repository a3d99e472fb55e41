#include "uf2.h"

#include "functions.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kBlockSize = 512;
constexpr uint32_t kMagicStart0 = 0x0A324655; // "UF2\n"
constexpr uint32_t kMagicStart1 = 0x9E5D5157;
constexpr uint32_t kMagicEnd = 0x0AB16F30;
constexpr uint32_t kFlagNotMainFlash = 0x00000001;
constexpr uint32_t kFlagFamilyId = 0x00002000;
constexpr uint32_t kPage = 256; // the only payload the ROM takes, and what every block writes

struct Block {
  uint32_t flags, address, payload, number, count, family;
  bool intact;
};

Block parse_block(const uint8_t *p) {
  Block b;
  b.intact =
      read_le32(p) == kMagicStart0 && read_le32(p + 4) == kMagicStart1 && read_le32(p + kBlockSize - 4) == kMagicEnd;
  b.flags = read_le32(p + 8);
  b.address = read_le32(p + 12);
  b.payload = read_le32(p + 16);
  b.number = read_le32(p + 20);
  b.count = read_le32(p + 24);
  b.family = read_le32(p + 28); // the file size instead when the family flag is clear
  return b;
}

// The whole page [address, address + 256) inside [low, high).
bool page_inside(uint32_t address, uint32_t low, uint32_t high) { return address >= low && address <= high - kPage; }

// The XIP cache's RAM (0x15000000) lies inside the flash window too: the
// ROM takes a block there as RAM, and still wants it page-aligned.
bool in_flash_window(uint32_t address) { return page_inside(address, 0x10000000, 0x20000000); }

uf2_target_t target_of(uint32_t address) {
  if (page_inside(address, 0x20000000, 0x20042000) || page_inside(address, 0x15000000, 0x15004000))
    return UF2_TARGET_RAM;
  if (in_flash_window(address))
    return UF2_TARGET_FLASH;
  return UF2_TARGET_NONE;
}

// The ROM's state: the download going on, and which of its block numbers
// have been seen. Numbers are tracked below `tracked` only, one more than
// the file's blocks: a download with more blocks than the file holds cannot
// complete, and its lowest missing number lies below that all the same.
struct Download {
  uint32_t count = 0; // 0: none going
  uf2_target_t target = UF2_TARGET_NONE;
  uint32_t seen = 0;         // distinct tracked numbers seen
  uint32_t untracked = 0;    // blocks with numbers at or above `tracked`
  uint32_t low = 0, end = 0; // addresses written
  uint8_t *bits = nullptr;
  uint32_t tracked = 0;
  size_t dirty = 0; // bytes of `bits` the last download may have set
};

uint32_t tracked_of(const Download &d) { return d.count < d.tracked ? d.count : d.tracked; }

void begin(Download *d, uint32_t count, uf2_target_t target) {
  std::memset(d->bits, 0, d->dirty);
  d->count = count;
  d->target = target;
  d->seen = 0;
  d->untracked = 0;
  d->low = 0xFFFFFFFF;
  d->end = 0;
  d->dirty = (tracked_of(*d) + 7) / 8;
}

// True when the download is complete with this block.
bool take(Download *d, const Block &b) {
  if (b.address < d->low)
    d->low = b.address;
  if (b.address + kPage > d->end)
    d->end = b.address + kPage;
  if (b.number >= tracked_of(*d)) {
    ++d->untracked;
    return false;
  }
  uint8_t &byte = d->bits[b.number / 8];
  const uint8_t bit = static_cast<uint8_t>(1u << (b.number % 8));
  if (!(byte & bit)) {
    byte |= bit;
    ++d->seen;
  }
  return d->seen == d->count;
}

void note_restart(uf2_report_t *r, uf2_outcome_t why, uint32_t index, const Block &b, uint32_t previous_count) {
  if (r->restarts++ > 0)
    return;
  r->outcome = why;
  r->restart_index = index;
  r->restart_address = b.address;
  r->restart_number = b.number;
  r->restart_count = b.count;
  r->restart_previous_count = previous_count;
}

// Notes what a block the ROM skips carries, for the report when it skips
// them all. False for a block it counts.
bool skipped(uf2_report_t *r, const Block &b) {
  if (!b.intact)
    return true;
  ++r->intact_blocks;
  if (!(b.flags & kFlagFamilyId)) {
    ++r->unflagged_blocks;
    return true;
  }
  if (b.family != UF2_FAMILY_RP2040) {
    bool known = false;
    for (uint32_t i = 0; i < r->family_count; ++i)
      known = known || r->families[i] == b.family;
    if (!known && r->family_count < UF2_FAMILIES_KEPT)
      r->families[r->family_count++] = b.family;
    else if (!known)
      r->more_families = true;
    return true;
  }
  if (b.flags & kFlagNotMainFlash) {
    ++r->rp2040_not_main_flash;
    return true;
  }
  if (b.payload != kPage) {
    if (r->rp2040_other_payload++ == 0)
      r->rp2040_payload_size = b.payload;
    return true;
  }
  return false;
}

// One counted block, as the ROM takes it. True when it completes the
// download. Which block starts the download after a restart follows the ROM:
// a block with another block count is itself the first block of the new
// download; a block that cannot be written (no target, unaligned flash,
// number not below its count) or that targets the other kind of memory is
// dropped with everything before it, and the next counted block starts anew.
bool count_block(uf2_report_t *r, Download *d, uint32_t index, const Block &b) {
  const uf2_target_t target = target_of(b.address);
  if (b.count == 0) { // "block n of 0": no number is below its count
    note_restart(r, UF2_RESTART_NUMBER, index, b, d->count);
    d->count = 0;
    return false;
  }
  if (target == UF2_TARGET_NONE) {
    note_restart(r, UF2_RESTART_ADDRESS, index, b, d->count);
    d->count = 0;
    return false;
  }
  if (in_flash_window(b.address) && b.address % kPage != 0) {
    note_restart(r, UF2_RESTART_UNALIGNED, index, b, d->count);
    d->count = 0;
    return false;
  }
  if (b.count != d->count) {
    if (d->count != 0)
      note_restart(r, UF2_RESTART_COUNT, index, b, d->count);
    begin(d, b.count, target);
  } else if (target != d->target) {
    note_restart(r, UF2_RESTART_KIND, index, b, d->count);
    d->count = 0;
    return false;
  }
  if (b.number >= b.count) {
    note_restart(r, UF2_RESTART_NUMBER, index, b, d->count);
    d->count = 0;
    return false;
  }
  return take(d, b);
}

void describe_download(uf2_report_t *r, const Download &d) {
  if (d.count == 0)
    return;
  r->target = d.target;
  r->block_count = d.count;
  r->address_low = d.seen + d.untracked > 0 ? d.low : 0;
  r->address_end = d.end;
  const uint32_t tracked = tracked_of(d);
  r->missing_block = tracked;
  for (uint32_t n = 0; n < tracked; ++n) {
    if (!(d.bits[n / 8] & (1u << (n % 8)))) {
      r->missing_block = n;
      break;
    }
  }
  // Exact when every number is tracked; else untracked blocks may repeat.
  const uint64_t seen = static_cast<uint64_t>(d.seen) + d.untracked;
  r->missing_blocks = seen >= d.count ? 0 : static_cast<uint32_t>(d.count - seen);
}

} // namespace

uf2_outcome_t uf2_read(const uint8_t *bytes, size_t size, uf2_report_t *out) {
  *out = uf2_report_t{};
  const size_t blocks = size / kBlockSize;
  out->file_blocks = blocks > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<uint32_t>(blocks);

  Download d;
  d.tracked = out->file_blocks + 1;
  d.bits = static_cast<uint8_t *>(std::calloc(d.tracked / 8 + 1, 1));
  if (!d.bits) {
    out->outcome = UF2_NO_MEMORY;
    return out->outcome;
  }
  bool complete = false;
  for (uint32_t i = 0; i < out->file_blocks && !complete; ++i) {
    const Block b = parse_block(bytes + static_cast<size_t>(i) * kBlockSize);
    if (skipped(out, b))
      continue;
    ++out->counted_blocks;
    complete = count_block(out, &d, i, b);
  }
  describe_download(out, d);
  std::free(d.bits);

  if (complete)
    out->outcome = UF2_COMPLETE;
  else if (out->counted_blocks == 0)
    out->outcome = UF2_NO_COUNTED_BLOCK;
  else if (out->restarts == 0)
    out->outcome = UF2_MISSING_BLOCK;
  // else: the first restart, as noted
  return out->outcome;
}

const char *uf2_family_name(uint32_t family) {
  switch (family) {
  case 0xe48bff56:
    return "RP2040";
  case 0xe48bff57:
    return "Raspberry Pi absolute download";
  case 0xe48bff58:
    return "Raspberry Pi data download";
  case 0xe48bff59:
    return "RP2350 Arm secure";
  case 0xe48bff5a:
    return "RP2350 RISC-V";
  case 0xe48bff5b:
    return "RP2350 Arm non-secure";
  default:
    return nullptr;
  }
}

namespace {

// Appends to a text cut to its buffer, as snprintf does.
struct Text {
  char *dest;
  size_t size;
  size_t used = 0;
  void add(const char *format, ...) {
    if (used + 1 >= size)
      return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(dest + used, size - used, format, args);
    va_end(args);
    if (n > 0)
      used = used + static_cast<size_t>(n) < size ? used + static_cast<size_t>(n) : size - 1;
  }
};

void add_family(Text *t, uint32_t family) {
  const char *name = uf2_family_name(family);
  if (name)
    t->add("family 0x%08x (%s)", family, name);
  else
    t->add("family 0x%08x", family);
}

void no_counted_block(const uf2_report_t *r, Text *t) {
  if (r->intact_blocks == 0) {
    t->add("none of its %u blocks has intact UF2 magic numbers", r->file_blocks);
    return;
  }
  if (r->family_count > 0) {
    t->add("it is built for ");
    for (uint32_t i = 0; i < r->family_count; ++i) {
      if (i > 0)
        t->add(i + 1 == r->family_count && !r->more_families ? " and " : ", ");
      add_family(t, r->families[i]);
    }
    if (r->more_families)
      t->add(" and others");
    t->add(", not for the RP2040 (family 0x%08x)", UF2_FAMILY_RP2040);
  } else if (r->rp2040_not_main_flash > 0 && r->rp2040_other_payload == 0) {
    t->add("its %u RP2040 blocks are all marked \"not main flash\"", r->rp2040_not_main_flash);
  } else if (r->rp2040_other_payload > 0 && r->rp2040_not_main_flash == 0) {
    t->add("its RP2040 blocks carry %u-byte payloads; the boot ROM takes only 256-byte ones", r->rp2040_payload_size);
  } else if (r->rp2040_other_payload > 0) {
    t->add("its %u RP2040 blocks are marked \"not main flash\" or carry payloads other than 256 bytes",
           r->rp2040_not_main_flash + r->rp2040_other_payload);
  } else {
    t->add("no block is marked with the RP2040 family 0x%08x", UF2_FAMILY_RP2040);
  }
  if (r->unflagged_blocks > 0)
    t->add("; %u of its blocks carry no family id", r->unflagged_blocks);
}

void restart(const uf2_report_t *r, Text *t) {
  t->add("block index %u in the file ", r->restart_index);
  switch (r->outcome) {
  case UF2_RESTART_ADDRESS:
    t->add("targets 0x%08x, not wholly inside flash or RAM", r->restart_address);
    break;
  case UF2_RESTART_UNALIGNED:
    t->add("targets 0x%08x, in flash but not on a 256-byte boundary", r->restart_address);
    break;
  case UF2_RESTART_KIND:
    if (target_of(r->restart_address) == UF2_TARGET_RAM)
      t->add("targets RAM at 0x%08x after blocks for flash", r->restart_address);
    else
      t->add("targets flash at 0x%08x after blocks for RAM", r->restart_address);
    break;
  case UF2_RESTART_COUNT:
    t->add("says the image has %u blocks, the blocks before it say %u", r->restart_count, r->restart_previous_count);
    break;
  default: // UF2_RESTART_NUMBER
    t->add("is numbered %u, not below its block count %u", r->restart_number, r->restart_count);
    break;
  }
  t->add("; the boot ROM restarts the download there");
}

} // namespace

void uf2_reason(const uf2_report_t *report, char *dest, size_t dest_size) {
  if (dest_size == 0)
    return;
  dest[0] = '\0';
  Text t{dest, dest_size};
  switch (report->outcome) {
  case UF2_COMPLETE:
    break;
  case UF2_NO_COUNTED_BLOCK:
    no_counted_block(report, &t);
    break;
  case UF2_MISSING_BLOCK:
    t.add("block %u of %u is missing or damaged", report->missing_block, report->block_count);
    if (report->missing_blocks > 1)
      t.add(" (%u of the %u are)", report->missing_blocks, report->block_count);
    break;
  case UF2_NO_MEMORY:
    t.add("there is not enough memory to check it");
    break;
  default:
    restart(report, &t);
    break;
  }
}
