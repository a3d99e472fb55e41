#include "functions.h"
#include "timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {

// A clock the test moves by hand.
std::atomic<int64_t> fake_now{0};
int64_t fake_source() { return fake_now.load(); }

class FakeClock : public testing::Test {
protected:
  void SetUp() override { timer_set_source(fake_source); }
  void TearDown() override { timer_set_source(nullptr); }
};

TEST_F(FakeClock, ReadingIsTheLow32BitsAsSigned) {
  fake_now = 0x7fffffffLL;
  EXPECT_EQ(get_absolute_time(), 2147483647);
  fake_now = 0x80000000LL;
  EXPECT_EQ(get_absolute_time(), -2147483647 - 1);
  fake_now = 0x1'0000'0005LL;
  EXPECT_EQ(get_absolute_time(), 5);
}

TEST_F(FakeClock, DeadlinesHoldOnEitherSideOfTheWrap) {
  struct Row {
    int64_t start;
    int32_t duration;
  };
  // Starts well before, just before, at and just after the point where the
  // 32-bit value passes from 2147483647 to -2147483648, and in plain time.
  const Row rows[] = {{1000, 3000},         {0x7fffffffLL - 29999, 30000}, {0x7fffffffLL - 10, 5000},
                      {0x7fffffffLL, 3000}, {0x80000000LL, 30000},         {0xffffffffLL - 100, 3000},
                      {0x1'0000'0000LL, 0}};
  for (const auto &row : rows) {
    fake_now = row.start;
    const int32_t start = get_absolute_time();
    if (row.duration == 0) {
      EXPECT_TRUE(time_reached(start, 0));
      continue;
    }
    EXPECT_FALSE(time_reached(start, row.duration));
    fake_now = row.start + row.duration - 1;
    EXPECT_FALSE(time_reached(start, row.duration)) << row.start;
    fake_now = row.start + row.duration;
    EXPECT_TRUE(time_reached(start, row.duration)) << row.start;
    // And it stays reached for the rest of any caller's wait.
    fake_now = row.start + row.duration + 60000;
    EXPECT_TRUE(time_reached(start, row.duration)) << row.start;
  }
}

TEST_F(FakeClock, ReadingsSubtractAcrossTheWrap) {
  fake_now = 0x7fffffffLL - 500;
  const int32_t a = get_absolute_time();
  fake_now += 1500;
  const int32_t b = get_absolute_time();
  EXPECT_LT(b, 0);
  EXPECT_EQ(timer_elapsed_ms(a), 1500);
  EXPECT_EQ(timer_elapsed_ms(b), 0);
}

TEST(Clock, IsMonotonicAndWaitSleepsUntilTheDeadline) {
  const int32_t start = get_absolute_time();
  wait_ms(0);
  wait_ms(30);
  EXPECT_TRUE(time_reached(start, 30));
  const int64_t a = timer_monotonic_ms();
  EXPECT_GE(timer_monotonic_ms(), a);
}

TEST(StringList, BuildsOneBlockEndedByAnEmptyString) {
  char *list, *end;
  string_list_init(&list, &end);
  EXPECT_EQ(end - list, 1);
  EXPECT_EQ(list[0], '\0');
  string_list_add(&list, &end, "COM3");
  string_list_add(&list, &end, "COM4");
  ASSERT_EQ(end - list, 11);
  EXPECT_EQ(std::memcmp(list, "COM3\0COM4\0", 11), 0);

  // An empty entry reads as the end of the list: what follows is hidden.
  string_list_add(&list, &end, "");
  string_list_add(&list, &end, "COM9");
  EXPECT_EQ(end - list, 17);
  int seen = 0;
  for (const char *s = list; *s; s += std::strlen(s) + 1)
    ++seen;
  EXPECT_EQ(seen, 2);
  string_list_free(list);
  string_list_free(nullptr);
}

} // namespace
