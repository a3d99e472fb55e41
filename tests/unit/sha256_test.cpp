#include "sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t *digest) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < SHA256_SIZE; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    out += two;
  }
  return out;
}

// Published vectors (FIPS 180-2 and the usual empty-input one), and 1 MiB of
// a pattern whose digest coreutils' sha256sum gave. On Windows this is CNG's
// answer, on Linux Nettle's.
TEST(Sha256, KnownVectors) {
  std::vector<uint8_t> pattern(1 << 20);
  for (size_t i = 0; i < pattern.size(); ++i)
    pattern[i] = static_cast<uint8_t>(i % 251);
  const std::string abc = "abc";
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string million_a(1000000, 'a');
  const struct {
    const uint8_t *data;
    size_t size;
    const char *digest;
  } rows[] = {
      {nullptr, 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {reinterpret_cast<const uint8_t *>(abc.data()), abc.size(),
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {reinterpret_cast<const uint8_t *>(two_blocks.data()), two_blocks.size(),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {reinterpret_cast<const uint8_t *>(million_a.data()), million_a.size(),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {pattern.data(), pattern.size(), "631b84027d6b9e52b539c4e8373622d23032dfadc64d60af87339c9037e4f769"},
  };
  for (const auto &row : rows) {
    uint8_t digest[SHA256_SIZE];
    ASSERT_TRUE(sha256(row.data, row.size, digest)) << row.size;
    EXPECT_EQ(hex(digest), row.digest) << row.size << " bytes";
  }
}

} // namespace
