#include "options.h"
#include "ports.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Loaded {
  bool ok;
  std::string out, err;
};

// Runs the parser on an argument vector; element 0 is the program path.
Loaded load_seen(std::vector<std::string> args) {
  args.insert(args.begin(), "orvup");
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool ok = options_load(static_cast<int>(args.size()), argv.data());
  std::string out = testing::internal::GetCapturedStdout();
  return {ok, out, testing::internal::GetCapturedStderr()};
}

bool load(std::vector<std::string> args) { return load_seen(std::move(args)).ok; }

template <size_t N> bool tail_is_nul(const char (&field)[N], size_t from) {
  for (size_t i = from; i < N; ++i)
    if (field[i] != '\0')
      return false;
  return true;
}

TEST(Options, AValueTooLongForItsFieldIsRefusedNeverCut) {
  const size_t port_max = static_cast<size_t>(PORT_NAME_MAX_CHARS);
  const struct {
    const char *option;
    size_t limit;
  } fields[] = {{"--screen-fw", 1023}, {"--io-fw", 1023}, {"--port", port_max}};
  for (const auto &f : fields) {
    SCOPED_TRACE(f.option);
    std::vector<std::string> args = {"--screen-fw", "s.bin", "--port", "COM3"};
    if (std::string(f.option) == "--io-fw")
      args[0] = "--io-fw";
    const size_t at = std::string(f.option) == "--port" ? 3 : 1;
    args[at] = std::string(f.limit, 'v');
    EXPECT_TRUE(load(args)) << "the longest value fits";
    EXPECT_EQ(std::string(at == 3 ? options.port : f.option[2] == 's' ? options.screen_fw : options.io_fw), args[at]);
    args[at] += "w";
    const Loaded r = load_seen(args);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("ERROR: ") + f.option + " value too long (" + std::to_string(f.limit + 1) +
                         " characters; the limit is " + std::to_string(f.limit) + ")\n");
  }
}

TEST(Options, ARepeatedValueLeavesNothingOfTheEarlierOne) {
  // A long value first, then a short one: the last occurrence wins and no
  // byte of the long one is left behind the short one's NUL.
  ASSERT_TRUE(load({"--screen-fw", std::string(1000, 'a'), "--screen-fw", "b.bin", "--port", "COM3"}));
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
