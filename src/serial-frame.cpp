#include "serial.h"

#include <cstring>

namespace {

constexpr int32_t kLineBufSize = 256;

// The board's firmware ends its lines with CR LF, and a noisy line may carry
// stray high bytes before the end: everything below 32 as a signed byte
// counts as line-ending noise.
bool is_control(char c) { return static_cast<int8_t>(c) < 32; }

// A NUL inside a line would end its text early for every reader: "START"
// NUL "..." would read as the word START. Such a line is free text, so each
// NUL is written as the four characters \x00, the way a board line is shown,
// which no status word contains; the text is cut to the line's 255
// characters. Returns the text's length.
int32_t spell_out_nuls(const char *line, int32_t length, char *text) {
  int32_t out = 0;
  for (int32_t i = 0; i < length; ++i) {
    const bool nul = line[i] == '\0';
    if (out + (nul ? 4 : 1) > kLineBufSize - 1)
      break;
    if (nul) {
      std::memcpy(text + out, "\\x00", 4);
      out += 4;
    } else {
      text[out++] = line[i];
    }
  }
  text[out] = '\0';
  return out;
}

} // namespace

int32_t serial_frame(char *line_buf, int32_t *line_len, const uint8_t *bytes, int32_t count, serial_line_fn on_line,
                     void *context) {
  // A position outside the buffer can only come from a damaged link record;
  // start a fresh line rather than write outside line_buf.
  if (*line_len < 0 || *line_len >= kLineBufSize)
    *line_len = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t at = *line_len;
    line_buf[at] = static_cast<char>(bytes[i]);
    *line_len = at + 1 == kLineBufSize ? 0 : at + 1;
    if (bytes[i] != '\n')
      continue;

    // The line is what lies before the line feed's slot. A line feed in the
    // last slot leaves a full 255-byte line, and its NUL then takes the line
    // feed's own place, so the text never reaches past line_buf.
    int32_t end = at;
    while (end > 0 && is_control(line_buf[end - 1]))
      --end;
    line_buf[end] = '\0';
    *line_len = 0;
    bool kept;
    if (std::strlen(line_buf) < static_cast<size_t>(end)) { // a NUL before the end
      char text[kLineBufSize];
      kept = on_line(context, text, spell_out_nuls(line_buf, end, text));
    } else {
      kept = on_line(context, line_buf, end);
    }
    if (!kept)
      return i + 1;
  }
  return count;
}
