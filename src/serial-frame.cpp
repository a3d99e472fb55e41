#include "serial.h"

namespace {

constexpr int32_t kLineBufSize = 256;

// The board's firmware ends its lines with CR LF, and a noisy line may carry
// stray high bytes before the end: everything below 32 as a signed byte
// counts as line-ending noise.
bool is_control(char c) { return static_cast<int8_t>(c) < 32; }

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
    if (!on_line(context, line_buf, end))
      return i + 1;
  }
  return count;
}
