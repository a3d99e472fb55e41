// The console is the technician's, shared with the shell: orvup switches its
// output code page to UTF-8 and must put back the one it found.
#include "console.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <windows.h>

namespace {

TEST(ConsoleWin32, TheOutputCodePageFoundIsPutBack) {
  // Headless Wine gives a program on pipes no console; wine.console runs
  // this under a pseudo-terminal, where it has one, and insists on it.
  if (GetConsoleOutputCP() == 0 && !AllocConsole()) {
    if (std::getenv("ORVUP_TEST_NEEDS_CONSOLE"))
      FAIL() << "no console";
    GTEST_SKIP() << "no console to test with";
  }
  const UINT before = GetConsoleOutputCP();
  if (!SetConsoleOutputCP(850))
    GTEST_SKIP() << "this console keeps its code page";
  console_init();
  EXPECT_EQ(GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
  console_restore();
  EXPECT_EQ(GetConsoleOutputCP(), 850u);
  console_restore(); // a second call changes nothing
  EXPECT_EQ(GetConsoleOutputCP(), 850u);
  SetConsoleOutputCP(before);
}

} // namespace
