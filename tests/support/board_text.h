#pragma once
// Board text as tests and tools write it on a command line: \r \n \t \\ and
// \xHH stand for their bytes. Header-only, so the Windows link-probe can use
// it without the Linux-only test support library.
#include <cctype>
#include <string>

namespace orvtest {

inline std::string board_unescape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    const char c = text[++i];
    if (c == 'r')
      out.push_back('\r');
    else if (c == 'n')
      out.push_back('\n');
    else if (c == 't')
      out.push_back('\t');
    else if (c == 'x' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
             std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else
      out.push_back(c);
  }
  return out;
}

} // namespace orvtest
