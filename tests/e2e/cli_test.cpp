// The command line as a user meets it: every outcome of the parser, byte for
// byte on both streams, with the exit status the shell sees.
#include "target.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using orvtest::Target;

namespace {

const std::string kUsage = "orvup - Orvane command-line updater\n"
                           "\n"
                           "Usage: orvup --screen-fw <filename> --port <device> [--no-status]\n"
                           "       orvup --io-fw <filename.uf2> --port <device>\n"
                           "       orvup --list\n"
                           "       orvup --version\n"
                           "       orvup --help\n";

const std::string kHelp = "\n"
                          "       --screen-fw <filename> The ESP32 screen firmware image (.bin) to send.\n"
                          "               Relayed to the screen board over RS485 via the I/O board.\n"
                          "       --io-fw <filename.uf2> The RP2040 I/O board firmware (.uf2) to flash.\n"
                          "               The I/O board is rebooted into its USB BOOTSEL and the .uf2\n"
                          "               is copied onto the RPI-RP2 drive that appears.\n"
                          "       --port <device> The serial device of the RP2040 I/O board\n"
                          "               (e.g. /dev/ttyACM0 or COM3).\n"
                          "       --list  List available serial ports and exit.\n"
                          "       --no-status Don't display progress while the upload is in progress.\n"
                          "       --version Print the version and exit.\n"
                          "       --help  Print this help and exit.\n";

const std::string kBothFw = "ERROR: Use --screen-fw or --io-fw, not both\n";
const std::string kNoFw = "ERROR: Missing firmware filename (--screen-fw or --io-fw)\n";
const std::string kNoPort = "ERROR: Missing serial port name e.g. COM3 or /dev/ttyACM0 (--port)\n";

struct CliCase {
  const char *name;
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

// Names the case in test listings instead of dumping its bytes.
[[maybe_unused]] void PrintTo(const CliCase &c, std::ostream *os) { *os << c.name; }

std::string unknown(const std::string &arg) { return "ERROR: Unknown argument '" + arg + "'\n"; }

const std::vector<CliCase> &cli_cases() {
  static const std::vector<CliCase> cases = {
      {"NoArguments", {}, kUsage, "", 255},
      {"Help", {"--help"}, kUsage + kHelp, "", 255},
      {"HelpThenVersion", {"--help", "--version"}, kUsage + kHelp, "", 255},
      {"VersionThenHelp", {"--version", "--help"}, kUsage + kHelp, "", 255},
      {"Version", {"--version"}, "orvup 1.00\n", "", 255},
      {"VersionBeatsList", {"--version", "--list"}, "orvup 1.00\n", "", 255},
      {"HelpWithValuelessPort", {"--help", "--port"}, kUsage, "", 255},
      {"ValuelessScreenFw", {"--screen-fw"}, kUsage, "", 255},
      {"ValuelessPortAfterFirmware", {"--screen-fw", "fw.bin", "--port"}, kUsage, "", 255},
      {"HelpThenUnknown", {"--help", "-x"}, kUsage, unknown("-x"), 255},
      {"FirstUnknownEndsTheScan", {"-a", "--help", "-b"}, kUsage, unknown("-a"), 255},
      {"UnknownBeforeValueMissing", {"--bogus", "--port"}, kUsage, unknown("--bogus"), 255},
      {"CaseMatters", {"--HELP"}, kUsage, unknown("--HELP"), 255},
      {"NoAbbreviation", {"--hel"}, kUsage, unknown("--hel"), 255},
      {"NoEqualsForm", {"--port=COM3"}, kUsage, unknown("--port=COM3"), 255},
      {"ShortOption", {"-h"}, kUsage, unknown("-h"), 255},
      {"EmptyArgument", {""}, kUsage, unknown(""), 255},
      // A file name is shown, never obeyed by the terminal: a line break
      // cannot forge a line, nor a zero-width space hide in a name.
      {"FileNameEscaped",
       {"--screen-fw", "a\nSuccess\xe2\x80\x8b.bin", "--port", "COM3"},
       "orvup v1.00\n",
       "ERROR: Unable to read firmware file 'a\\x0aSuccess\\xe2\\x80\\x8b.bin'\n",
       255},
      {"BothFirmware", {"--screen-fw", "a.bin", "--io-fw", "b.uf2", "--port", "COM3"}, kUsage, kBothFw, 255},
      {"BothFirmwareWithoutPort", {"--screen-fw", "a.bin", "--io-fw", "b.uf2"}, kUsage, kBothFw, 255},
      {"PortAlone", {"--port", "COM3"}, kUsage, kNoFw, 255},
      {"NoStatusAlone", {"--no-status"}, kUsage, kNoFw, 255},
      {"FirmwareWithoutPort", {"--screen-fw", "a.bin"}, kUsage, kNoPort, 255},
      {"IoFirmwareWithoutPort", {"--io-fw", "a.uf2", "--no-status"}, kUsage, kNoPort, 255},
      // A value option takes the next argument whatever it looks like.
      {"UnknownWordAsValue", {"--port", "-x"}, kUsage, kNoFw, 255},
      {"HelpWordAsValue", {"--screen-fw", "--help"}, kUsage, kNoPort, 255},
      {"ListWordAsPortValue", {"--port", "--list"}, kUsage, kNoFw, 255},
  };
  return cases;
}

class Cli : public testing::TestWithParam<CliCase> {};

TEST_P(Cli, PrintsExactlyAndExits) {
  const CliCase &c = GetParam();
  const auto r = Target::get().run(c.args);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Table, Cli, testing::ValuesIn(cli_cases()),
                         [](const testing::TestParamInfo<CliCase> &row) { return std::string(row.param.name); });

TEST(CliList, PrintsBannerAndPortListAndSucceeds) {
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"--list"}, {"--list", "--screen-fw", "a.bin"}, {"--no-status", "--list", "--list"}}) {
    const auto r = Target::get().run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("orvup v1.00\nAvailable serial ports:\n", 0), 0u) << r.out;
  }
}

TEST(CliBadInput, ValuesTooLongForTheirFieldAreRefusedNotCut) {
  // A cut path could name another file: refused before anything runs (no
  // banner). --port takes a device path as long as a file path on Linux, a
  // COM name of at most 63 characters on Windows.
  const std::string port_limit = Target::get().wine() ? "63" : "1023";
  const std::string long_port(Target::get().wine() ? 64 : 1024, 'P');
  const struct {
    std::vector<std::string> args;
    std::string err;
  } rows[] = {
      {{"--screen-fw", std::string(2000, 'f'), "--port", "COM3"},
       "ERROR: --screen-fw value too long (2000 characters; the limit is 1023)\n"},
      {{"--io-fw", std::string(1024, 'f'), "--port", "COM3"},
       "ERROR: --io-fw value too long (1024 characters; the limit is 1023)\n"},
      {{"--screen-fw", "s.bin", "--port", long_port},
       "ERROR: --port value too long (" + std::to_string(long_port.size()) + " characters; the limit is " + port_limit +
           ")\n"},
  };
  for (const auto &row : rows) {
    const auto r = Target::get().run(row.args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, row.err);
  }
  // A 100-character device path is a port name like any other on Linux.
  if (!Target::get().wine()) {
    const std::string port = "/nonexistent/" + std::string(87, 'p');
    const auto r = Target::get().run({"--io-fw", "missing.uf2", "--port", port});
    EXPECT_EQ(r.out.rfind("orvup v1.00\n", 0), 0u) << r.out;
  }
}

TEST(CliBadInput, ManyArgumentsNeverCrash) {
  // Thousands of flags, then the first unknown argument ends the scan.
  std::vector<std::string> args(2000, "--no-status");
  args.push_back("--nope");
  args.insert(args.end(), 500, "--help");
  const auto r = Target::get().run(args);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err, unknown("--nope"));
}

TEST(CliBadInput, NonAsciiUnknownArgumentIsEchoedEscaped) {
  if (Target::get().wine()) {
    // Wine hands a Windows program its arguments in the ANSI code page, so
    // the echoed bytes differ; the outcome must still be the usage error.
    const auto r = Target::get().run({"--p\xc3\xb6rt"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kUsage);
    return;
  }
  // Shown, never obeyed by the terminal: readable text stays, the rest
  // (bytes that are not UTF-8, escape sequences, a right-to-left override)
  // comes out spelled.
  const auto r = Target::get().run({"\xff\xfe--h\xc3\xa9lp\x1b\xe2\x80\xae"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err, unknown("\\xff\\xfe--h\xc3\xa9lp\\x1b\\xe2\\x80\\xae"));
}

} // namespace
