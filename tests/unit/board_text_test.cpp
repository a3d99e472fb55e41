// Board lines made safe for the terminal: what a board sends may not steer
// it, and readable text stays readable.
#include "board-text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string shown(const std::string &line) {
  char out[BOARD_LINE_SHOWN_SIZE];
  board_line_escape(line.c_str(), out, sizeof out);
  return out;
}

TEST(BoardLineEscape, ControlsEscapedTextKept) {
  EXPECT_EQ(shown("relay 42%\tok"), "relay 42%\tok");
  EXPECT_EQ(shown("\x1b[2J\x1b]0;pwned\x07"), "\\x1b[2J\\x1b]0;pwned\\x07");
  EXPECT_EQ(shown("\rX"), "\\x0dX");
  EXPECT_EQ(shown("a\x7f"), "a\\x7f");
  EXPECT_EQ(shown("caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80"), "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80");
  // C1 controls: raw, and encoded as UTF-8 (U+009B is CSI to many terminals).
  EXPECT_EQ(shown("\x9b"
                  "2J"),
            "\\x9b2J");
  EXPECT_EQ(shown("\xc2\x9b"
                  "2J"),
            "\\xc2\\x9b2J");
  // Not UTF-8: overlong, surrogate, cut short.
  EXPECT_EQ(shown("\xc0\xaf"), "\\xc0\\xaf");
  EXPECT_EQ(shown("\xed\xa0\x80"), "\\xed\\xa0\\x80");
  EXPECT_EQ(shown("\xe2\x80"), "\\xe2\\x80");
  // Invisible characters that reorder or hide text: the edges of each range,
  // and the neighbours that stay readable (en dash, ellipsis, superscript 0).
  for (const char *bidi : {"\xe2\x80\x8b", "\xe2\x80\x8f", "\xe2\x80\xa8", "\xe2\x80\xae", "\xe2\x81\xa0",
                           "\xe2\x81\xaf", "\xd8\x9c", "\xef\xbb\xbf"}) {
    std::string expected;
    for (const char *b = bidi; *b; ++b) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(*b));
      expected += hex;
    }
    EXPECT_EQ(shown(std::string("a") + bidi + "b"), "a" + expected + "b");
  }
  for (const char *kept : {"\xe2\x80\x93", "\xe2\x80\xa6", "\xe2\x81\xb0"})
    EXPECT_EQ(shown(kept), kept);
}

TEST(BoardLineEscape, LongestLineFitsAndSmallBuffersCutCleanly) {
  const std::string worst(255, '\x1b');
  std::string expected;
  for (int i = 0; i < 255; ++i)
    expected += "\\x1b";
  EXPECT_EQ(shown(worst), expected);
  char small[6];
  board_line_escape("a\x1b"
                    "bc",
                    small, sizeof small);
  EXPECT_STREQ(small, "a\\x1b"); // never half an escape
  board_line_escape("abc", small, 1);
  EXPECT_STREQ(small, "");
}

} // namespace
