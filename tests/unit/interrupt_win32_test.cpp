// Which console events stop the run, and which hold the process open for
// its clean-up: Wine cannot send most of them to a program on pipes.
#include "interrupt.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

TEST(InterruptWin32, ConsoleEventsAndWhatTheyAskFor) {
  const struct {
    DWORD event;
    interrupt_console_t kind;
  } cases[] = {
      {CTRL_C_EVENT, INTERRUPT_CONSOLE_REQUEST},        {CTRL_BREAK_EVENT, INTERRUPT_CONSOLE_REQUEST},
      {CTRL_CLOSE_EVENT, INTERRUPT_CONSOLE_CLOSING},    {CTRL_LOGOFF_EVENT, INTERRUPT_CONSOLE_CLOSING},
      {CTRL_SHUTDOWN_EVENT, INTERRUPT_CONSOLE_CLOSING}, {7, INTERRUPT_CONSOLE_IGNORED},
  };
  for (const auto &c : cases)
    EXPECT_EQ(interrupt_console_event(c.event), c.kind) << c.event;
}

} // namespace
