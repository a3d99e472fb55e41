// What a stop request does: the first one during an update only raises the
// flag the run looks at; any other ends the process at once.
#include "interrupt.h"

#include <gtest/gtest.h>

namespace {

TEST(Interrupt, FirstRequestDuringAnUpdateStopsItAnyOtherEndsTheProcess) {
  struct Case {
    bool deferred;
    interrupt_action_t first, second, third;
  };
  const Case cases[] = {
      {false, INTERRUPT_EXIT_NOW, INTERRUPT_EXIT_NOW, INTERRUPT_EXIT_NOW},
      {true, INTERRUPT_STOP_AT_SAFE_POINT, INTERRUPT_EXIT_NOW, INTERRUPT_EXIT_NOW},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.deferred);
    interrupt_reset();
    if (c.deferred)
      interrupt_defer();
    EXPECT_FALSE(interrupt_requested());
    EXPECT_EQ(interrupt_note_request(), c.first);
    EXPECT_TRUE(interrupt_requested());
    EXPECT_EQ(interrupt_note_request(), c.second);
    EXPECT_EQ(interrupt_note_request(), c.third);
  }
  interrupt_reset();
}

} // namespace
