// orvup-sim: a simulated I/O board on a pseudo-terminal, for demos and checks
// by hand. It prints the port to give orvup with --port, then plays the
// board's update bridge until it is stopped (or, with --once, until the first
// program that opened the port closes it again). With --bootsel-drive it also
// plays the RP2040 boot ROM: on IOBOOTSEL the port goes and a drive named
// RPI-RP2 appears, which flashes a complete download and goes again (Linux,
// as root: the drive is a tmpfs mounted where the program looks).
#include "board_sim.h"
#include "bootrom_sim.h"
#include "firmware_gen.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>

namespace {

const char kUsage[] = "Usage: orvup-sim [options]\n"
                      "  --link PATH          also reach the port at PATH (a link that unplug removes)\n"
                      "  --rate N             take the image at N bytes per second (0: as fast as sent)\n"
                      "  --answer TEXT        answer to FWUP (default 'START\\r\\n'; '' for none)\n"
                      "  --answer-delay MS    wait before answering FWUP\n"
                      "  --final TEXT         after the last image byte (default 'DONE\\r\\n'; '' for none)\n"
                      "  --final-delay MS     wait before the final answer\n"
                      "  --stall-after N      stop reading after N image bytes\n"
                      "  --line-at N:TEXT     send TEXT once N image bytes arrived (repeatable)\n"
                      "  --stale TEXT         send TEXT right after the port is opened\n"
                      "  --bootsel TEXT       answer to IOBOOTSEL (default 'BOOTSEL\\r\\n'; '' for none)\n"
                      "  --bootsel-drive DIR  on IOBOOTSEL, leave the port and offer the boot ROM's drive at\n"
                      "                       DIR/RPI-RP2 (needs root); a complete download flashes and reboots\n"
                      "  --reboot-ms MS       from the download's last block to the drive leaving (default 1000)\n"
                      "  --no-return          after a flash the port does not come back\n"
                      "  --once               exit when the program that opened the port closes it\n"
                      "  --quiet              print only the port\n"
                      "  --make-image N:PATH  write a valid screen application image of N bytes to PATH and exit\n"
                      "TEXT takes \\r \\n \\t \\\\ and \\xHH.\n";

bool parse_long(const char *s, long *out) {
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < 0)
    return false;
  *out = v;
  return true;
}

int usage_error(const std::string &what) {
  std::fprintf(stderr, "orvup-sim: %s\n%s", what.c_str(), kUsage);
  return 2;
}

// An image the screen update takes as it is, for demos and benchmarks: a
// typical application, as the tests make them.
int make_image(const char *value) {
  const char *colon = std::strchr(value, ':');
  long size = 0;
  if (!colon || !parse_long(std::string(value, colon).c_str(), &size) || size < 512 || colon[1] == '\0')
    return usage_error("--make-image wants N:PATH with N at least 512");
  const orvtest::Bytes image = orvtest::esp_app_image_of_size(static_cast<size_t>(size));
  std::FILE *f = std::fopen(colon + 1, "wb");
  const bool written = f && std::fwrite(image.data(), 1, image.size(), f) == image.size();
  if ((f && std::fclose(f) != 0) || !written) {
    std::fprintf(stderr, "orvup-sim: cannot write %s\n", colon + 1);
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  orvtest::BoardScript script;
  std::string link;
  bool once = false, quiet = false;
  std::string bootsel_dir;
  orvtest::BootRomScript rom_script;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--once") {
      once = true;
      continue;
    }
    if (opt == "--quiet") {
      quiet = true;
      continue;
    }
    if (opt == "--no-return") {
      rom_script.port_returns = false;
      continue;
    }
    if (opt == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc)
      return usage_error("missing value for " + opt);
    const char *value = argv[++i];
    long n = 0;
    const bool numeric = parse_long(value, &n);
    if (opt == "--make-image")
      return make_image(value);
    if (opt == "--link")
      link = value;
    else if (opt == "--bootsel-drive")
      bootsel_dir = value;
    else if (opt == "--answer")
      script.fwup_answer = orvtest::board_unescape(value);
    else if (opt == "--final")
      script.final_answer = orvtest::board_unescape(value);
    else if (opt == "--stale")
      script.stale_lines = orvtest::board_unescape(value);
    else if (opt == "--bootsel")
      script.iobootsel_answer = orvtest::board_unescape(value);
    else if (opt == "--line-at") {
      const char *colon = std::strchr(value, ':');
      long at = 0;
      if (!colon || !parse_long(std::string(value, colon).c_str(), &at))
        return usage_error("--line-at wants N:TEXT");
      script.lines_at.emplace_back(at, orvtest::board_unescape(colon + 1));
    } else if (!numeric)
      return usage_error("bad number for " + opt + ": '" + value + "'");
    else if (opt == "--rate")
      script.bytes_per_sec = n;
    else if (opt == "--answer-delay")
      script.fwup_answer_delay_ms = static_cast<int>(n);
    else if (opt == "--final-delay")
      script.final_delay_ms = static_cast<int>(n);
    else if (opt == "--stall-after")
      script.stall_after = n;
    else if (opt == "--reboot-ms")
      rom_script.reboot_ms = static_cast<int>(n);
    else
      return usage_error("unknown option " + opt);
  }

  // Signals are taken synchronously, so the board always closes its port
  // and removes its link on the way out.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    std::unique_ptr<orvtest::BootRom> rom;
    if (!bootsel_dir.empty())
      script.on_iobootsel = [&] {
        if (!rom)
          return;
        if (!rom->enter_bootsel())
          std::fprintf(stderr, "orvup-sim: cannot mount the drive at %s\n", rom->folder().c_str());
        else if (!quiet)
          std::fprintf(stderr, "orvup-sim: in BOOTSEL, drive at %s\n", rom->folder().c_str());
      };
    orvtest::BoardSim board(script, link);
    if (!bootsel_dir.empty())
      rom = std::make_unique<orvtest::BootRom>(bootsel_dir + "/RPI-RP2", &board, rom_script);
    int flashes = 0;
    std::printf("%s\n", board.device_path().c_str());
    std::fflush(stdout);
    if (!quiet)
      std::fprintf(stderr, "orvup-sim: board on %s\n", board.pty_path().c_str());
    bool was_open = false;
    size_t reported = 0;
    const timespec tick{0, 50 * 1000 * 1000};
    for (;;) {
      if (sigtimedwait(&stop_signals, nullptr, &tick) > 0)
        break;
      if (rom && rom->flashes() != flashes) {
        flashes = rom->flashes();
        if (!quiet)
          std::fprintf(stderr,
                       "orvup-sim: flashed %s (%zu bytes): download complete at %lld ms, drive left at %lld ms "
                       "(monotonic clock)\n",
                       rom->flashed_name().c_str(), rom->flashed_bytes().size(),
                       static_cast<long long>(rom->completed_at_ms()), static_cast<long long>(rom->left_at_ms()));
      }
      const bool open = board.in_use();
      if (open == was_open)
        continue;
      was_open = open;
      if (!quiet) {
        const std::string got = board.received();
        if (open)
          std::fprintf(stderr, "orvup-sim: port opened\n");
        else
          std::fprintf(stderr, "orvup-sim: port closed; %zu bytes received (%ld image bytes)\n", got.size() - reported,
                       board.image_received());
        if (!open)
          reported = got.size();
      }
      if (!open && once)
        break;
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "orvup-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
