// link-probe: drives one serial link the way the update actions do, so the
// end-to-end tests can check the link itself on both builds (natively, and
// the Windows build under Wine with a COM name mapped onto the simulator).
//
//   link-probe PORT STEP...
//     tx:TEXT          send TEXT (\r \n \t \\ \xHH understood)
//     expect:LINE:MS   take lines until LINE comes, at most MS ms
//     image:N:PIECE    send N pattern bytes in pieces of PIECE, taking one
//                      board line after each piece
//     lines:MS         take every line that comes within MS ms
//     idle:N           N reads that find nothing; prints how long they took
// Prints "line: TEXT" for every line taken (bytes outside printable ASCII as
// \xHH), "sent N" or "send failed at BYTE", and "freed" at the end. Exit
// status: 0 when every step succeeded, 1 when one failed, 2 when the port
// did not open.
#include "../support/board_text.h"
#include "serial.h"
#include "timer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The byte at offset i of an image; the tests compute the same.
char pattern_byte(long i) { return static_cast<char>((i * 7 + i / 251) & 0xff); }

void print_line(const char *line) {
  std::string shown;
  for (const unsigned char c : std::string(line)) {
    char hex[8];
    if (c >= 32 && c < 127 && c != '\\')
      shown.push_back(static_cast<char>(c));
    else {
      std::snprintf(hex, sizeof(hex), "\\x%02x", c);
      shown += hex;
    }
  }
  std::printf("line: %s\n", shown.c_str());
  std::fflush(stdout);
}

bool take_line(serial_t *s, std::string *got) {
  char line[256];
  if (!serial_rx_pop(s, line, sizeof(line)))
    return false;
  print_line(line);
  *got = line;
  return true;
}

bool expect(serial_t *s, const std::string &want, int ms) {
  const int32_t start = get_absolute_time();
  std::string got;
  while (!time_reached(start, ms)) {
    if (take_line(s, &got) && got == want)
      return true;
  }
  return false;
}

void lines_for(serial_t *s, int ms) {
  const int32_t start = get_absolute_time();
  std::string got;
  while (!time_reached(start, ms))
    take_line(s, &got);
}

bool image(serial_t *s, long n, long piece) {
  std::string bytes(static_cast<size_t>(n), '\0');
  for (long i = 0; i < n; ++i)
    bytes[static_cast<size_t>(i)] = pattern_byte(i);
  std::string got;
  for (long at = 0; at < n; at += piece) {
    const long len = n - at < piece ? n - at : piece;
    if (!serial_tx_bytes(s, bytes.data() + at, static_cast<int32_t>(len))) {
      std::printf("send failed at %ld\n", at);
      return false;
    }
    take_line(s, &got);
  }
  std::printf("sent %ld\n", n);
  return true;
}

bool run_step(serial_t *s, const std::string &step) {
  const size_t colon = step.find(':');
  const std::string verb = step.substr(0, colon);
  const std::string rest = colon == std::string::npos ? "" : step.substr(colon + 1);
  if (verb == "tx")
    return serial_tx(s, orvtest::board_unescape(rest).c_str());
  const size_t second = rest.rfind(':');
  if (verb == "expect")
    return expect(s, orvtest::board_unescape(rest.substr(0, second)), std::atoi(rest.c_str() + second + 1));
  if (verb == "image")
    return image(s, std::atol(rest.c_str()), std::atol(rest.c_str() + second + 1));
  if (verb == "idle") {
    const long n = std::atol(rest.c_str());
    const int64_t start = timer_monotonic_ms();
    char line[256];
    for (long i = 0; i < n; ++i)
      serial_rx_pop(s, line, sizeof(line));
    std::printf("idle reads: %ld in %lld ms\n", n, static_cast<long long>(timer_monotonic_ms() - start));
    return true;
  }
  if (verb == "lines") {
    lines_for(s, std::atoi(rest.c_str()));
    return true;
  }
  std::fprintf(stderr, "link-probe: unknown step %s\n", step.c_str());
  return false;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: link-probe PORT STEP...\n");
    return 2;
  }
  serial_t link;
  const bool opened = serial_init(&link, argv[1]);
  bool ok = opened;
  for (int i = 2; ok && i < argc; ++i) {
    ok = run_step(&link, argv[i]);
    if (!ok)
      std::printf("step failed: %s\n", argv[i]);
  }
  serial_free(&link);
  serial_free(&link);
  std::printf("freed\n");
  return !opened ? 2 : ok ? 0 : 1;
}
