#include "options.h"

#include "board-text.h"
#include "orvup-version.h"
#include "ports.h"

#include <cstdio>
#include <cstring>

options_t options;

const char orvup_version[] = ORVUP_VERSION_BANNER;

const char cli_usage[] = "orvup - Orvane command-line updater\n"
                         "\n"
                         "Usage: orvup --screen-fw <filename> --port <device> [--no-status]\n"
                         "       orvup --io-fw <filename.uf2> --port <device>\n"
                         "       orvup --list\n"
                         "       orvup --version\n"
                         "       orvup --help\n";

const char cli_help[] = "\n"
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

namespace {

void print_usage() { std::printf("%s", cli_usage); }

bool usage_error(const char *message) {
  std::fputs(message, stderr);
  print_usage();
  return false;
}

// Copies a value into its field, the rest of the field NUL. A value too
// long for it is refused, never cut: a cut path can name another file or
// device (".../screen.bin.old" cut to ".../screen.bin" flashes the wrong
// image).
template <size_t N> bool take_value(char (&field)[N], const char *option, const char *value, size_t limit = N - 1) {
  const size_t length = std::strlen(value);
  if (length > limit) {
    std::fprintf(stderr, "ERROR: %s value too long (%lu characters; the limit is %lu)\n", option,
                 static_cast<unsigned long>(length), static_cast<unsigned long>(limit));
    return false;
  }
  std::strncpy(field, value, N - 1);
  return true;
}

} // namespace

bool options_load(int argc, char **argv) {
  std::memset(&options, 0, sizeof options);

  if (argc <= 1) {
    print_usage();
    return false;
  }

  bool help = false, version = false, list = false;
  bool screen_fw = false, io_fw = false, port = false;
  bool value_missing = false;

  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (std::strcmp(arg, "--help") == 0) {
      help = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      version = true;
    } else if (std::strcmp(arg, "--list") == 0) {
      list = true;
    } else if (std::strcmp(arg, "--no-status") == 0) {
      options.no_status = true;
    } else if (std::strcmp(arg, "--screen-fw") == 0 || std::strcmp(arg, "--io-fw") == 0 ||
               std::strcmp(arg, "--port") == 0) {
      if (i + 1 >= argc) {
        value_missing = true;
        break;
      }
      // The next argument is the value whatever it looks like: a file may
      // well be called "--list".
      const char *value = argv[++i];
      bool taken;
      if (arg[2] == 's') {
        screen_fw = true;
        taken = take_value(options.screen_fw, arg, value);
      } else if (arg[2] == 'i') {
        io_fw = true;
        taken = take_value(options.io_fw, arg, value);
      } else {
        port = true;
        taken = take_value(options.port, arg, value, static_cast<size_t>(PORT_NAME_MAX_CHARS));
      }
      if (!taken)
        return false;
    } else {
      std::fprintf(stderr, "ERROR: Unknown argument '%s'\n", safe_to_show(arg).c_str());
      print_usage();
      return false;
    }
  }

  if (value_missing) {
    print_usage();
    return false;
  }
  if (help) {
    print_usage();
    std::printf("%s", cli_help);
    return false;
  }
  if (version) {
    std::printf("orvup %s\n", orvup_version);
    return false;
  }
  if (list) {
    options.action = ACTION_LIST_PORTS;
    return true;
  }
  if (screen_fw && io_fw)
    return usage_error("ERROR: Use --screen-fw or --io-fw, not both\n");
  if (!screen_fw && !io_fw)
    return usage_error("ERROR: Missing firmware filename (--screen-fw or --io-fw)\n");
  if (!port)
    return usage_error("ERROR: Missing serial port name e.g. COM3 or /dev/ttyACM0 (--port)\n");

  options.action = io_fw ? ACTION_UPDATE_IO : ACTION_UPDATE_SCREEN;
  return true;
}
