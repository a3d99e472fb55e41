#include "update-io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> uf2_image(size_t size) {
  std::vector<uint8_t> image(size, 0xA5);
  const uint8_t magic[] = {'U', 'F', '2', '\n'};
  std::memcpy(image.data(), magic, size < 4 ? size : 4);
  return image;
}

TEST(Uf2Check, SizeBoundsThenFirstMagic) {
  EXPECT_EQ(uf2_check(uf2_image(512).data(), 512), UF2_PLAUSIBLE);
  EXPECT_EQ(uf2_check(uf2_image(8388608).data(), 8388608), UF2_PLAUSIBLE);
  EXPECT_EQ(uf2_check(uf2_image(511).data(), 511), UF2_NOT_UF2);
  EXPECT_EQ(uf2_check(uf2_image(8388609).data(), 8388609), UF2_TOO_LARGE);

  std::vector<uint8_t> not_uf2(8388609, 0);
  EXPECT_EQ(uf2_check(not_uf2.data(), 8388609), UF2_TOO_LARGE); // size decides first
  EXPECT_EQ(uf2_check(not_uf2.data(), 4096), UF2_NOT_UF2);
  auto near_miss = uf2_image(512);
  near_miss[3] = '\r'; // "UF2\r": a text-mode copy of the file
  EXPECT_EQ(uf2_check(near_miss.data(), 512), UF2_NOT_UF2);
  // A short file is refused before its first bytes are read (under the
  // address sanitizer a read here would be caught).
  const uint8_t two[2] = {'U', 'F'};
  EXPECT_EQ(uf2_check(two, 2), UF2_NOT_UF2);
}

TEST(PathBasename, LastComponentAfterEitherSeparator) {
  const struct {
    const char *path, *name;
  } rows[] = {{"fw.uf2", "fw.uf2"},
              {"build/fw.uf2", "fw.uf2"},
              {"C:\\builds\\io\\fw.uf2", "fw.uf2"},
              {"C:\\builds/io\\sub/fw.uf2", "fw.uf2"},
              {"a/b\\c", "c"},
              {"dir/", ""},
              {"", ""}};
  for (const auto &row : rows)
    EXPECT_STREQ(path_basename(row.path), row.name) << row.path;
  const char *p = "x/y";
  EXPECT_EQ(path_basename(p), p + 2); // a pointer into the same string
}

class CopyToDrive : public testing::Test {
protected:
  void SetUp() override {
    drive_ = fs::temp_directory_path() / ("orvup-copy-" + std::to_string(std::rand()) + "-" +
                                          testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(drive_);
  }
  void TearDown() override { fs::remove_all(drive_); }

  std::string read(const std::string &name) {
    std::ifstream in(drive_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path drive_;
};

TEST_F(CopyToDrive, TargetThatCannotBeCreatedIsAnError) {
  const auto image = uf2_image(512);
  const std::string drive = (drive_ / "gone").string();
  testing::internal::CaptureStderr();
  EXPECT_EQ(copy_to_drive(drive.c_str(), "dir\\io.uf2", image.data(), 512), COPY_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Cannot open '" + drive + "/io.uf2' for writing\n");
}

} // namespace
