#include "board-text.h"

#include "functions.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Length of the well-formed UTF-8 sequence at s (2 to 4 bytes), or 0 when
// the bytes there are not one. Stores the code point it encodes.
int utf8_sequence(const unsigned char *s, uint32_t *code_point) {
  const unsigned char lead = s[0];
  int length;
  unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0)
      low = 0xA0; // no overlong forms
    if (lead == 0xED)
      high = 0x9F; // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0)
      low = 0x90;
    if (lead == 0xF4)
      high = 0x8F; // nothing above U+10FFFF
  } else {
    return 0;
  }
  uint32_t cp = lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    const unsigned char c = s[i];
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF))
      return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  *code_point = cp;
  return length;
}

// Characters a terminal does not draw but that change how the text around
// them reads: a name could otherwise show as another, or the order of a
// message could be turned round.
bool invisible_format(uint32_t cp) {
  return cp == 0x061C                      // Arabic letter mark
         || (cp >= 0x200B && cp <= 0x200F) // zero-width space, non-joiner, joiner; LTR and RTL marks
         || (cp >= 0x2028 && cp <= 0x202E) // line and paragraph separators; embeddings and overrides
         || (cp >= 0x2060 && cp <= 0x206F) // word joiner, invisible operators, isolates, deprecated controls
         || cp == 0xFEFF;                  // zero-width no-break space
}

} // namespace

void board_line_escape(const char *line, char *dest, size_t dest_size) {
  if (dest_size == 0)
    return;
  const auto *s = reinterpret_cast<const unsigned char *>(line);
  size_t out = 0;
  // Copies n bytes as they are, or each as \xHH; stops when they do not fit.
  auto emit = [&](const unsigned char *bytes, int n, bool escaped) {
    const size_t need = escaped ? 4 * static_cast<size_t>(n) : static_cast<size_t>(n);
    if (out + need >= dest_size)
      return false;
    for (int i = 0; i < n; ++i) {
      if (escaped) {
        format_cut(dest + out, 5, "\\x%02x", bytes[i]);
        out += 4;
      } else {
        dest[out++] = static_cast<char>(bytes[i]);
      }
    }
    return true;
  };
  bool fits = true;
  while (*s && fits) {
    const unsigned char c = *s;
    if (c == '\t' || (c >= 0x20 && c < 0x7F)) {
      fits = emit(s, 1, false);
      s += 1;
      continue;
    }
    uint32_t cp = 0;
    const int n = c >= 0x80 ? utf8_sequence(s, &cp) : 0;
    if (n == 0) {
      // C0 controls, DEL, and bytes that are not UTF-8 (a terminal in a
      // legacy code page reads 0x80..0x9F as controls).
      fits = emit(s, 1, true);
      s += 1;
    } else {
      // UTF-8 text stays readable; the C1 controls it can encode and the
      // invisible formatting characters do not.
      fits = emit(s, n, cp <= 0x9F || invisible_format(cp));
      s += n;
    }
  }
  dest[out] = '\0';
}

std::string safe_to_show(const char *text) {
  std::string out(4 * std::strlen(text) + 1, '\0');
  board_line_escape(text, out.data(), out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}
