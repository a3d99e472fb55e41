#include "options.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Runs the parser on an argument vector; element 0 is the program path.
bool load(std::vector<std::string> args) {
  args.insert(args.begin(), "orvup");
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool ok = options_load(static_cast<int>(args.size()), argv.data());
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return ok;
}

template <size_t N> bool tail_is_nul(const char (&field)[N], size_t from) {
  for (size_t i = from; i < N; ++i)
    if (field[i] != '\0')
      return false;
  return true;
}

TEST(Options, ValuesAreCutAndTheRestOfTheFieldCleared) {
  // A long value first, then a short one: the last occurrence wins and no
  // byte of the long one is left behind the short one's NUL.
  ASSERT_TRUE(load({"--screen-fw", std::string(2000, 'a'), "--port", std::string(100, 'p')}));
  EXPECT_EQ(std::string(options.screen_fw), std::string(1023, 'a'));
  EXPECT_EQ(std::string(options.port), std::string(63, 'p'));
  EXPECT_EQ(options.screen_fw[1023], '\0');

  ASSERT_TRUE(load({"--screen-fw", std::string(2000, 'a'), "--screen-fw", "b.bin", "--port", "COM3"}));
  EXPECT_STREQ(options.screen_fw, "b.bin");
  EXPECT_TRUE(tail_is_nul(options.screen_fw, 5));
  EXPECT_EQ(options.action, ACTION_UPDATE_SCREEN);
}

TEST(Options, SelectsTheAction) {
  struct Row {
    std::vector<std::string> args;
    bool ok;
    int32_t action;
  };
  const std::vector<Row> rows = {
      {{"--list"}, true, ACTION_LIST_PORTS},
      {{"--list", "--screen-fw", "x", "--io-fw", "y"}, true, ACTION_LIST_PORTS},
      {{"--io-fw", "a.uf2", "--port", "COM3"}, true, ACTION_UPDATE_IO},
      {{"--no-status", "--io-fw", "a.uf2", "--port", "COM3"}, true, ACTION_UPDATE_IO},
      {{"--port", "--list", "--screen-fw", "f"}, true, ACTION_UPDATE_SCREEN},
      {{"--screen-fw", "f", "--port", ""}, true, ACTION_UPDATE_SCREEN},
      {{"--help"}, false, ACTION_NONE},
      {{"--screen-fw", "f", "--port"}, false, ACTION_NONE},
      {{}, false, ACTION_NONE},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(load(row.args), row.ok);
    EXPECT_EQ(options.action, row.action);
  }
}

TEST(Options, EveryCallStartsFromAClearedRecord) {
  ASSERT_TRUE(load({"--no-status", "--screen-fw", "f", "--port", "COM9"}));
  EXPECT_TRUE(options.no_status);
  EXPECT_FALSE(load({"--bogus"}));
  EXPECT_FALSE(options.no_status);
  EXPECT_STREQ(options.port, "");
  EXPECT_STREQ(options.screen_fw, "");

  // --port --list: the port is the text "--list", and list is not seen.
  ASSERT_TRUE(load({"--port", "--list", "--screen-fw", "f"}));
  EXPECT_STREQ(options.port, "--list");
  EXPECT_STREQ(options.screen_fw, "f");
}

} // namespace
