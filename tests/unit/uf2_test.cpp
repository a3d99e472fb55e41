#include "uf2.h"

#include "support/firmware_gen.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

using namespace orvtest;

namespace {

uf2_report_t read_uf2(const Bytes &file) {
  uf2_report_t report;
  EXPECT_EQ(uf2_read(file.data(), file.size(), &report), report.outcome);
  return report;
}

std::string reason_of(const uf2_report_t &report) {
  char text[512];
  uf2_reason(&report, text, sizeof text);
  return text;
}

using Change = std::function<void(std::vector<Uf2Block> &)>;

// A block the ROM does not count is skipped without a word: in a 4-block
// image, block 2 changed this way leaves the download one block short.
TEST(Uf2Read, OnlyIntactRp2040MainFlashBlocksOf256BytesCount) {
  const struct {
    const char *what;
    Change change;
  } rows[] = {
      {"first start magic", [](auto &b) { b[2].magic0 ^= 1; }},
      {"second start magic", [](auto &b) { b[2].magic1 ^= 0x100; }},
      {"end magic", [](auto &b) { b[2].magic_end = 0; }},
      {"no family flag", [](auto &b) { b[2].flags = 0; }},
      {"RP2350 family", [](auto &b) { b[2].family = kFamilyRp2350ArmS; }},
      {"not main flash", [](auto &b) { b[2].flags |= kUf2FlagNotMainFlash; }},
      {"476-byte payload", [](auto &b) { b[2].payload_size = 476; }},
      {"empty payload", [](auto &b) { b[2].payload_size = 0; }},
  };
  for (const auto &row : rows) {
    auto blocks = uf2_flash_blocks(4);
    row.change(blocks);
    const uf2_report_t r = read_uf2(uf2_file(blocks));
    EXPECT_EQ(r.outcome, UF2_MISSING_BLOCK) << row.what;
    EXPECT_EQ(r.counted_blocks, 3u) << row.what;
    EXPECT_EQ(reason_of(r), "block 2 of 4 is missing or damaged") << row.what;
  }
  EXPECT_EQ(read_uf2(uf2_file(uf2_flash_blocks(4))).outcome, UF2_COMPLETE);
}

// A file the ROM skips whole: the reason names what the blocks carry instead.
TEST(Uf2Read, NoCountedBlockSaysWhatTheBlocksCarry) {
  const auto family_blocks = [](std::vector<uint32_t> families) {
    std::vector<Uf2Block> blocks;
    for (uint32_t f : families) {
      const auto more = uf2_flash_blocks(2, kRp2040Flash, f);
      blocks.insert(blocks.end(), more.begin(), more.end());
    }
    return blocks;
  };
  auto unflagged = uf2_flash_blocks(3);
  for (auto &b : unflagged) {
    b.flags = 0;
    b.family = 768; // the file size, as the field holds without the flag
  }
  auto rp2350_and_unflagged = family_blocks({kFamilyRp2350ArmS});
  rp2350_and_unflagged.insert(rp2350_and_unflagged.end(), unflagged.begin(), unflagged.begin() + 2);
  auto not_main_flash = uf2_flash_blocks(3);
  for (auto &b : not_main_flash)
    b.flags |= kUf2FlagNotMainFlash;
  auto big_payloads = uf2_flash_blocks(3);
  for (auto &b : big_payloads)
    b.payload_size = 476;
  auto damaged = uf2_flash_blocks(2);
  for (auto &b : damaged)
    b.magic_end = 0;

  const struct {
    std::vector<Uf2Block> blocks;
    const char *reason;
  } rows[] = {
      {family_blocks({kFamilyRp2350ArmS}),
       "it is built for family 0xe48bff59 (RP2350 Arm secure), not for the RP2040 (family 0xe48bff56)"},
      {family_blocks({kFamilyRp2350ArmS, kFamilyRp2350Riscv}),
       "it is built for family 0xe48bff59 (RP2350 Arm secure) and family 0xe48bff5a (RP2350 RISC-V), not for the "
       "RP2040 (family 0xe48bff56)"},
      {family_blocks({0x1c5f21b0, kFamilyAbsolute, 0xe48bff58, 0xe48bff5b, 0xbfdd4eee, 0xe48bff58}),
       "it is built for family 0x1c5f21b0, family 0xe48bff57 (Raspberry Pi absolute download), family 0xe48bff58 "
       "(Raspberry Pi data download), family 0xe48bff5b (RP2350 Arm non-secure) and others, not for the RP2040 "
       "(family 0xe48bff56)"},
      {unflagged, "no block is marked with the RP2040 family 0xe48bff56; 3 of its blocks carry no family id"},
      {rp2350_and_unflagged, "it is built for family 0xe48bff59 (RP2350 Arm secure), not for the RP2040 (family "
                             "0xe48bff56); 2 of its blocks carry no family id"},
      {not_main_flash, "its 3 RP2040 blocks are all marked \"not main flash\""},
      {big_payloads, "its RP2040 blocks carry 476-byte payloads; the boot ROM takes only 256-byte ones"},
      {damaged, "none of its 2 blocks has intact UF2 magic numbers"},
  };
  for (const auto &row : rows) {
    const uf2_report_t r = read_uf2(uf2_file(row.blocks));
    EXPECT_EQ(r.outcome, UF2_NO_COUNTED_BLOCK) << row.reason;
    EXPECT_EQ(reason_of(r), row.reason);
  }
}

// Where a block may write: a whole page inside flash (page-aligned) or
// inside RAM. A one-block image shows each address's verdict.
TEST(Uf2Read, TargetIsAWholePageInFlashOrRam) {
  const struct {
    uint32_t address;
    uf2_outcome_t outcome;
    uf2_target_t target;
  } rows[] = {
      {0x10000000, UF2_COMPLETE, UF2_TARGET_FLASH},
      {0x1FFFFF00, UF2_COMPLETE, UF2_TARGET_FLASH},
      {0x10000080, UF2_RESTART_UNALIGNED, UF2_TARGET_NONE},
      {0x0FFFFF00, UF2_RESTART_ADDRESS, UF2_TARGET_NONE},
      {0x20000000, UF2_COMPLETE, UF2_TARGET_RAM},
      {0x20000080, UF2_COMPLETE, UF2_TARGET_RAM}, // RAM needs no alignment
      {0x20041F00, UF2_COMPLETE, UF2_TARGET_RAM},
      {0x20041F01, UF2_RESTART_ADDRESS, UF2_TARGET_NONE}, // its last byte lies past the end of RAM
      {0x20042000, UF2_RESTART_ADDRESS, UF2_TARGET_NONE},
      {0x15000000, UF2_COMPLETE, UF2_TARGET_RAM}, // the XIP cache as RAM, inside the flash window
      {0x15003F00, UF2_COMPLETE, UF2_TARGET_RAM},
      {0x15000080, UF2_RESTART_UNALIGNED, UF2_TARGET_NONE},
      {0x15004000, UF2_COMPLETE, UF2_TARGET_FLASH},
      {0xFFFFFF80, UF2_RESTART_ADDRESS, UF2_TARGET_NONE}, // would wrap around
      {0x00000000, UF2_RESTART_ADDRESS, UF2_TARGET_NONE},
  };
  for (const auto &row : rows) {
    const uf2_report_t r = read_uf2(uf2_file(uf2_flash_blocks(1, row.address)));
    EXPECT_EQ(r.outcome, row.outcome) << std::hex << row.address;
    EXPECT_EQ(r.target, row.target) << std::hex << row.address;
  }
}

// What restarts the download, and which block then begins the next one:
// a block with another count begins it itself; any other restarting block
// is dropped, and the next block begins it.
TEST(Uf2Read, RestartsForgetEverythingBefore) {
  const auto flash = [](uint32_t n, uint32_t count) {
    Uf2Block b;
    b.address = kRp2040Flash + 256 * n;
    b.number = n;
    b.count = count;
    return b;
  };
  const auto ram = [](uint32_t n, uint32_t count) {
    Uf2Block b;
    b.address = kRp2040Ram + 256 * n;
    b.number = n;
    b.count = count;
    return b;
  };
  Uf2Block outside = flash(1, 2);
  outside.address = 0x30000000;
  Uf2Block unaligned = flash(1, 2);
  unaligned.address += 4;

  const struct {
    const char *what;
    std::vector<Uf2Block> blocks;
    uf2_outcome_t outcome;
    const char *reason;
  } rows[] = {
      {"address outside",
       {flash(0, 2), outside, flash(1, 2)},
       UF2_RESTART_ADDRESS,
       "block index 1 in the file targets 0x30000000, not wholly inside flash or RAM; the boot ROM restarts the "
       "download there"},
      {"... and the blocks before it sent again", {flash(0, 2), outside, flash(1, 2), flash(0, 2)}, UF2_COMPLETE, ""},
      {"unaligned flash",
       {flash(0, 2), unaligned, flash(1, 2)},
       UF2_RESTART_UNALIGNED,
       "block index 1 in the file targets 0x10000104, in flash but not on a 256-byte boundary; the boot ROM "
       "restarts the download there"},
      {"RAM after flash: dropped",
       {flash(0, 2), ram(1, 2), ram(0, 2)},
       UF2_RESTART_KIND,
       "block index 1 in the file targets RAM at 0x20000100 after blocks for flash; the boot ROM restarts the "
       "download there"},
      {"flash after RAM",
       {ram(0, 2), flash(1, 2), ram(1, 2)},
       UF2_RESTART_KIND,
       "block index 1 in the file targets flash at 0x10000100 after blocks for RAM; the boot ROM restarts the "
       "download there"},
      {"another count: begins anew itself", {flash(0, 3), flash(1, 3), flash(0, 1)}, UF2_COMPLETE, ""},
      {"another count",
       {flash(0, 3), flash(1, 2), flash(2, 3)},
       UF2_RESTART_COUNT,
       "block index 1 in the file says the image has 2 blocks, the blocks before it say 3; the boot ROM restarts "
       "the download there"},
      {"number not below count",
       {flash(0, 2), flash(2, 2), flash(1, 2)},
       UF2_RESTART_NUMBER,
       "block index 1 in the file is numbered 2, not below its block count 2; the boot ROM restarts the download "
       "there"},
      {"count 0",
       {flash(0, 0)},
       UF2_RESTART_NUMBER,
       "block index 0 in the file is numbered 0, not below its block count 0; the boot ROM restarts the download "
       "there"},
      {"skipped blocks restart nothing",
       {flash(0, 2), Uf2Block{.family = kFamilyRp2350ArmS}, flash(1, 2)},
       UF2_COMPLETE,
       ""},
  };
  for (const auto &row : rows) {
    const uf2_report_t r = read_uf2(uf2_file(row.blocks));
    EXPECT_EQ(r.outcome, row.outcome) << row.what;
    EXPECT_EQ(reason_of(r), row.reason) << row.what;
  }

  // Of several restarts the first is named: with one damaged count, the
  // block after it restarts too, returning to the old count.
  auto blocks = uf2_flash_blocks(154);
  blocks[9].count = 155;
  const uf2_report_t r = read_uf2(uf2_file(blocks));
  EXPECT_EQ(r.restarts, 2u);
  EXPECT_EQ(r.restart_index, 9u);
  EXPECT_EQ(r.outcome, UF2_RESTART_COUNT);
}

TEST(Uf2Read, CompleteWhenEveryNumberIsSeen) {
  auto shuffled = uf2_flash_blocks(6);
  std::swap(shuffled[0], shuffled[5]);
  std::swap(shuffled[2], shuffled[3]);
  auto duplicates = uf2_flash_blocks(3);
  duplicates.insert(duplicates.begin() + 1, duplicates[0]);
  auto then_garbage = uf2_flash_blocks(3);
  then_garbage.push_back(Uf2Block{.address = 0x30000000, .count = 7}); // after completion: never read
  auto missing = uf2_flash_blocks(154);
  missing.erase(missing.begin() + 9);
  auto missing_several = missing;
  missing_several.erase(missing_several.begin() + 100, missing_several.begin() + 102);
  auto cut_short = uf2_flash_blocks(154);
  cut_short.resize(100);

  const struct {
    const char *what;
    Bytes file;
    uf2_outcome_t outcome;
    const char *reason;
  } rows[] = {
      {"any order", uf2_file(shuffled), UF2_COMPLETE, ""},
      {"duplicates", uf2_file(duplicates), UF2_COMPLETE, ""},
      {"blocks after completion", uf2_file(then_garbage), UF2_COMPLETE, ""},
      {"one missing", uf2_file(missing), UF2_MISSING_BLOCK, "block 9 of 154 is missing or damaged"},
      {"three missing", uf2_file(missing_several), UF2_MISSING_BLOCK,
       "block 9 of 154 is missing or damaged (3 of the 154 are)"},
      {"cut short", uf2_file(cut_short), UF2_MISSING_BLOCK,
       "block 100 of 154 is missing or damaged (54 of the 154 are)"},
  };
  for (const auto &row : rows) {
    const uf2_report_t r = read_uf2(row.file);
    EXPECT_EQ(r.outcome, row.outcome) << row.what;
    EXPECT_EQ(reason_of(r), row.reason) << row.what;
  }
}

// A trailing part shorter than a block is not looked at, whatever it holds.
TEST(Uf2Read, TrailingPartOfABlockIsIgnored) {
  for (size_t tail : {1, 300, 511}) {
    Bytes file = uf2_file(uf2_flash_blocks(2));
    const Bytes extra = uf2_block_bytes(Uf2Block{.address = 0x30000000});
    file.insert(file.end(), extra.begin(), extra.begin() + static_cast<std::ptrdiff_t>(tail));
    const uf2_report_t r = read_uf2(file);
    EXPECT_EQ(r.outcome, UF2_COMPLETE) << tail;
    EXPECT_EQ(r.file_blocks, 2u) << tail;
  }
  const Bytes empty;
  EXPECT_EQ(read_uf2(empty).outcome, UF2_NO_COUNTED_BLOCK);
}

// What the report says a complete download will do.
TEST(Uf2Read, ReportsWhatTheDownloadWrites) {
  auto rp2350_first = uf2_flash_blocks(80, kRp2040Flash, kFamilyRp2350ArmS);
  const auto rp2040 = uf2_flash_blocks(64);
  rp2350_first.insert(rp2350_first.end(), rp2040.begin(), rp2040.end());
  const struct {
    const char *what;
    std::vector<Uf2Block> blocks;
    uf2_target_t target;
    uint32_t count, low, end;
  } rows[] = {
      {"flash image", uf2_flash_blocks(154), UF2_TARGET_FLASH, 154, 0x10000000, 0x10009A00},
      {"RAM image", uf2_ram_blocks(40, 0x20001000), UF2_TARGET_RAM, 40, 0x20001000, 0x20003800},
      {"universal RP2040 + RP2350", uf2_universal_blocks(64, 80), UF2_TARGET_FLASH, 64, 0x10000000, 0x10004000},
      {"universal, RP2350 first", rp2350_first, UF2_TARGET_FLASH, 64, 0x10000000, 0x10004000},
  };
  for (const auto &row : rows) {
    const uf2_report_t r = read_uf2(uf2_file(row.blocks));
    ASSERT_EQ(r.outcome, UF2_COMPLETE) << row.what;
    EXPECT_EQ(r.target, row.target) << row.what;
    EXPECT_EQ(r.block_count, row.count) << row.what;
    EXPECT_EQ(r.address_low, row.low) << row.what;
    EXPECT_EQ(r.address_end, row.end) << row.what;
  }
}

TEST(Uf2Reason, CutToTheBuffer) {
  const uf2_report_t r = read_uf2(uf2_file(uf2_flash_blocks(1, 0x30000000)));
  char small[12];
  uf2_reason(&r, small, sizeof small);
  EXPECT_STREQ(small, "block index");
}

} // namespace
