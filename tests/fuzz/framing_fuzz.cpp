// libFuzzer target for the serial line framing: arbitrary board bytes, cut
// into reads of arbitrary sizes, with now and then a line that cannot be
// kept. Every line must match what a plain model of the framing rules says,
// be at most 255 characters, and the framing must never touch memory outside
// its 256-byte line buffer (the buffer is a heap block of exactly that size,
// so AddressSanitizer sees a single byte beyond it).
#include "serial.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Run {
  std::vector<std::string> lines;
  int refuse_at = -1; // the line (by count) whose record "cannot be allocated"
  int seen = 0;
};

bool take(void *context, const char *text, int32_t length) {
  auto *run = static_cast<Run *>(context);
  if (length < 0 || length > 255 || text[length] != '\0')
    std::abort();
  if (run->seen++ == run->refuse_at)
    return false;
  run->lines.emplace_back(text, static_cast<size_t>(length));
  return true;
}

// The rules, said plainly: a line is what came before its line feed; of a
// line longer than the buffer only the bytes after its last multiple of 256
// survive; control bytes (below 32 as signed bytes) at its end are removed.
// A line with a NUL left inside is free text: each NUL is spelled \x00,
// and the text is cut to 255 characters, never in the middle of a \x00.
std::string model_line(const std::string &raw) {
  std::string kept = raw.substr(raw.size() - raw.size() % 256);
  while (!kept.empty() && static_cast<int8_t>(kept.back()) < 32)
    kept.pop_back();
  if (kept.find('\0') == std::string::npos)
    return kept;
  std::string spelled;
  for (const char c : kept) {
    const std::string piece = c == '\0' ? "\\x00" : std::string(1, c);
    if (spelled.size() + piece.size() > 255)
      break;
    spelled += piece;
  }
  return spelled;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2)
    return 0;
  const uint8_t cut_seed = data[0];
  Run run;
  run.refuse_at = data[1] < 16 ? data[1] : -1;
  data += 2;
  size -= 2;

  char *line_buf = static_cast<char *>(std::malloc(256));
  int32_t line_len = 0;
  std::vector<std::string> expected;
  std::string raw;
  int model_seen = 0;
  size_t at = 0;
  uint32_t cut = cut_seed;
  while (at < size) {
    cut = cut * 1103515245u + 12345u;
    const size_t read = std::min<size_t>(size - at, 1 + (cut >> 16) % 300);
    const int32_t taken = serial_frame(line_buf, &line_len, data + at, static_cast<int32_t>(read), take, &run);
    // The model of the same read: a line that cannot be kept is lost with
    // the rest of its read, and the next read starts a fresh line.
    size_t i = 0;
    for (; i < read; ++i) {
      const char c = static_cast<char>(data[at + i]);
      if (c != '\n') {
        raw.push_back(c);
        continue;
      }
      const bool refused = model_seen++ == run.refuse_at;
      if (!refused)
        expected.push_back(model_line(raw));
      raw.clear();
      if (refused) {
        ++i;
        break;
      }
    }
    if (static_cast<size_t>(taken) != i)
      std::abort();
    if (line_len < 0 || line_len > 255)
      std::abort();
    at += read;
  }
  if (run.lines != expected)
    std::abort();
  std::free(line_buf);
  return 0;
}
