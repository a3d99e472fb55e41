// The parts of the serial link that need no port: the line framing and the
// send loop's progress rule.
#include "serial.h"
#include "timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Framer {
  char line_buf[256] = {};
  int32_t line_len = 0;
  std::vector<std::string> lines;
  int refuse_at = -1; // index of the line whose record "cannot be allocated"

  static bool collect(void *context, const char *text, int32_t length) {
    auto *f = static_cast<Framer *>(context);
    EXPECT_LE(length, 255);
    EXPECT_EQ(std::strlen(text), static_cast<size_t>(length)) << "a reader sees the whole line";
    if (static_cast<int>(f->lines.size()) == f->refuse_at) {
      f->refuse_at = -1;
      return false;
    }
    EXPECT_EQ(text[length], '\0');
    f->lines.emplace_back(text); // what a reader of the line sees
    return true;
  }
  int32_t feed(const std::string &bytes) {
    return serial_frame(line_buf, &line_len, reinterpret_cast<const uint8_t *>(bytes.data()),
                        static_cast<int32_t>(bytes.size()), collect, this);
  }
};

struct FrameCase {
  const char *name;
  std::vector<std::string> reads;
  std::vector<std::string> lines;
};

TEST(SerialFrame, LinesAsTheBoardSendsThem) {
  const FrameCase cases[] = {
      {"crlf", {"OK\r\n"}, {"OK"}},
      {"split across reads", {"ST", "ART\n"}, {"START"}},
      {"two lines in one read", {"A\nB\n"}, {"A", "B"}},
      {"empty line alone", {"\n"}, {""}},
      {"empty line with cr", {"\r\n"}, {""}},
      {"cr inside the line stays", {"\rX\n"}, {"\rX"}},
      {"tab inside the line stays", {"a\tb\r\n"}, {"a\tb"}},
      {"trailing high bytes go with the cr", {"caf\xc3\xa9\r\n"}, {"caf"}},
      {"high bytes inside stay", {"\xc3\xa9t\xc3\xa9!\r\n"}, {"\xc3\xa9t\xc3\xa9!"}},
      {"only control bytes", {"\x01\x1f\x80\xff\r\n"}, {""}},
      {"no line feed yet", {"DONE\r"}, {}},
      {"line feed alone in the second read", {"DONE\r", "\n"}, {"DONE"}},
      // A NUL inside never makes the line the word before it.
      {"nul inside is spelt out", {std::string("START\0junk\r\n", 12)}, {"START\\x00junk"}},
      {"nul right after a status word", {std::string("DONE\0x\n", 7)}, {"DONE\\x00x"}},
      {"nul first", {std::string("\0DONE\n", 6)}, {"\\x00DONE"}},
      // Before the line end it is line-ending noise, like a carriage return.
      {"nul before the line end goes with it", {std::string("DONE\0\r\n", 7)}, {"DONE"}},
  };
  for (const auto &c : cases) {
    Framer f;
    for (const auto &r : c.reads)
      EXPECT_EQ(f.feed(r), static_cast<int32_t>(r.size())) << c.name;
    EXPECT_EQ(f.lines, c.lines) << c.name;
  }
}

// What a long line keeps, said independently of the ring arithmetic: the
// buffer is rewritten from its start every 256 bytes, so the bytes after the
// last multiple of 256 survive, less their trailing control bytes.
std::string expected_long_line(const std::string &raw) {
  std::string kept = raw.substr(raw.size() - raw.size() % 256);
  while (!kept.empty() && static_cast<int8_t>(kept.back()) < 32)
    kept.pop_back();
  return kept;
}

TEST(SerialFrame, LongLinesKeepTheirTailAndNeverPassTheBuffer) {
  for (size_t len : {250u, 254u, 255u, 256u, 257u, 300u, 510u, 511u, 512u, 767u, 1000u}) {
    std::string raw;
    for (size_t i = 0; i < len; ++i)
      raw.push_back(static_cast<char>('a' + i % 26));
    for (const char *ending : {"\n", "\r\n"}) {
      Framer f;
      // Canaries on both sides of line_buf inside one record.
      struct {
        char before[16];
        char buf[256];
        char after[16];
      } guarded;
      std::memset(&guarded, 0x5a, sizeof(guarded));
      int32_t line_len = 0;
      std::vector<std::string> lines;
      const std::string bytes = raw + ending + "next\n";
      serial_frame(guarded.buf, &line_len, reinterpret_cast<const uint8_t *>(bytes.data()),
                   static_cast<int32_t>(bytes.size()), Framer::collect, &f);
      ASSERT_EQ(f.lines.size(), 2u) << len;
      EXPECT_EQ(f.lines[0], expected_long_line(raw + (ending[0] == '\r' ? "\r" : ""))) << len << " " << ending;
      EXPECT_EQ(f.lines[1], "next") << "framing goes on normally after a line of " << len;
      for (char c : guarded.before)
        EXPECT_EQ(c, 0x5a);
      for (char c : guarded.after)
        EXPECT_EQ(c, 0x5a);
    }
  }
  // The worked cases: 300 bytes keep their last 44, exactly 256 give an
  // empty line, 255 (the line feed in the last slot) come out whole.
  EXPECT_EQ(expected_long_line(std::string(256, 'x')), "");
  EXPECT_EQ(expected_long_line(std::string(300, 'x')).size(), 44u);
  EXPECT_EQ(expected_long_line(std::string(255, 'x')).size(), 255u);
}

TEST(SerialFrame, ALineThatCannotBeKeptDropsTheRestOfItsRead) {
  Framer f;
  f.feed("FIRST\n");
  f.refuse_at = 1;
  // "LOST" cannot be queued: it and the rest of this read are gone.
  EXPECT_EQ(f.feed("LOST\nGONE\npart"), 5);
  EXPECT_EQ(f.line_len, 0) << "the lost line's bytes must not be glued onto the next one";
  f.feed("NEXT\r\n");
  EXPECT_EQ(f.lines, (std::vector<std::string>{"FIRST", "NEXT"}));
}

TEST(SerialFrame, ADamagedPositionStartsAFreshLine) {
  for (int32_t bad : {-1, 256, 100000}) {
    Framer f;
    f.line_len = bad;
    f.feed("OK\n");
    EXPECT_EQ(f.lines, std::vector<std::string>{"OK"});
  }
}

// ---- The received-line queue and its bound ----

constexpr int kBound = SERIAL_QUEUE_LINES;

std::string text_line(int i) { return "log " + std::to_string(i); }

// A queue driven by a script: "+LINE" queues a line, "-" takes one (what it
// gives is recorded; nothing when the queue is empty). Whatever is left is
// taken at the end.
struct QueueRun {
  std::vector<std::string> taken;
  int64_t dropped;
};
QueueRun run_queue(const std::vector<std::string> &script) {
  serial_line_queue_t q;
  EXPECT_TRUE(serial_queue_init(&q));
  QueueRun r;
  char line[256];
  for (const std::string &step : script) {
    if (step == "-") {
      if (serial_queue_pop(&q, line, sizeof line))
        r.taken.emplace_back(line);
      continue;
    }
    const std::string text = step.substr(1);
    EXPECT_TRUE(serial_queue_push(&q, text.c_str(), static_cast<int32_t>(text.size())));
  }
  while (serial_queue_pop(&q, line, sizeof line))
    r.taken.emplace_back(line);
  EXPECT_EQ(q.text_count, 0);
  EXPECT_EQ(q.status_count, 0);
  r.dropped = q.dropped;
  serial_queue_free(&q);
  return r;
}

std::vector<std::string> pushes(int from, int to) { // "+log from" .. "+log to-1"
  std::vector<std::string> v;
  for (int i = from; i < to; ++i)
    v.push_back(std::string(1, '+').append(text_line(i)));
  return v;
}
std::vector<std::string> texts(int from, int to) {
  std::vector<std::string> v;
  for (int i = from; i < to; ++i)
    v.push_back(text_line(i));
  return v;
}
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct QueueCase {
  const char *name;
  std::vector<std::string> script;
  std::vector<std::string> taken;
  int64_t dropped;
};

TEST(SerialQueue, BeyondTheBoundTheOldestFreeTextGoesAndEveryStatusWordStays) {
  const std::vector<std::string> all_words = {"START", "DONE", "FAIL", "TIMEOUT", "NORESP", "BOOTSEL"};
  std::vector<std::string> push_words;
  for (const auto &w : all_words)
    push_words.push_back(std::string(1, '+').append(w));
  const QueueCase cases[] = {
      {"up to the bound nothing goes", pushes(0, kBound), texts(0, kBound), 0},
      {"three beyond: the three oldest go", pushes(0, kBound + 3), texts(3, kBound + 3), 3},
      {"a status word keeps its place among the survivors",
       pushes(0, 10) + std::vector<std::string>{"+DONE"} + pushes(10, kBound + 20),
       std::vector<std::string>{"DONE"} + texts(20, kBound + 20), 20},
      {"every word of the bridge is kept, first to last", push_words + pushes(0, kBound + 1) + push_words,
       all_words + texts(1, kBound + 1) + all_words, 1},
      {"words that only look like status are free text",
       {"+done", "+DONE ", "+FAILED"},
       {"done", "DONE ", "FAILED"},
       0},
      {"near misses count against the bound", std::vector<std::string>{"+done"} + pushes(0, kBound), texts(0, kBound),
       1},
      {"lines taken make room", pushes(0, kBound) + std::vector<std::string>(5, "-") + pushes(kBound, kBound + 5),
       texts(0, kBound + 5), 0},
      {"a status word after the dropped text is not lost",
       pushes(0, 2 * kBound) + std::vector<std::string>{"+FAIL", "-"} + pushes(2 * kBound, 2 * kBound + 1),
       texts(kBound, 2 * kBound) + std::vector<std::string>{"FAIL"} + texts(2 * kBound, 2 * kBound + 1), kBound},
  };
  for (const QueueCase &c : cases) {
    const QueueRun r = run_queue(c.script);
    EXPECT_EQ(r.taken, c.taken) << c.name;
    EXPECT_EQ(r.dropped, c.dropped) << c.name;
  }
}

TEST(SerialQueue, AStatusWordRepeatedWithoutEndCostsBoundedMemory) {
  const QueueRun r = run_queue(std::vector<std::string>(kBound + 7, "+DONE") + pushes(0, 1));
  EXPECT_EQ(r.taken, std::vector<std::string>(kBound, "DONE") + texts(0, 1));
  EXPECT_EQ(r.dropped, 7);
}

TEST(SerialQueue, LinesStillQueuedAreReleasedWithTheQueue) {
  // Dropped lines not yet passed over and kept lines both go with the queue
  // (the leak checkers of the sanitizer builds watch this).
  serial_line_queue_t q;
  ASSERT_TRUE(serial_queue_init(&q));
  for (int i = 0; i < kBound + 50; ++i)
    serial_queue_push(&q, "chatter", 7);
  serial_queue_push(&q, "DONE", 4);
  EXPECT_EQ(q.dropped, 50);
  serial_queue_free(&q);
}

// ---- The send loop, against a scripted port and a clock the test drives ----

// Every reading moves the clock on by 1 ms, so the loop's 1 ms pauses end.
std::atomic<int64_t> fake_now{0};
int64_t fake_clock() { return fake_now.fetch_add(1); }

struct ScriptedPort {
  // Each step: how many bytes the port takes (-1: the write fails) and how
  // long that write call lasts. The last step repeats.
  struct Step {
    int32_t take;
    int64_t lasts_ms;
  };
  std::vector<Step> steps;
  size_t next = 0;
  std::string got;
  int calls = 0;
  int32_t largest_ask = 0;

  static int32_t write(void *context, const uint8_t *bytes, int32_t count) {
    auto *p = static_cast<ScriptedPort *>(context);
    const Step s = p->steps[std::min(p->next, p->steps.size() - 1)];
    ++p->next;
    ++p->calls;
    p->largest_ask = std::max(p->largest_ask, count);
    fake_now += s.lasts_ms;
    if (s.take < 0)
      return -1;
    const int32_t n = std::min(s.take, count);
    p->got.append(reinterpret_cast<const char *>(bytes), static_cast<size_t>(n));
    return n;
  }
};

class SendLoop : public testing::Test {
protected:
  void SetUp() override {
    fake_now = 5000;
    timer_set_source(fake_clock);
  }
  void TearDown() override { timer_set_source(nullptr); }
};

const std::string kData = "0123456789abcdefghijklmnopqrstuvwxyz";

bool send(ScriptedPort *port, const std::string &data) {
  return serial_send_loop(reinterpret_cast<const uint8_t *>(data.data()), static_cast<int32_t>(data.size()),
                          ScriptedPort::write, port);
}

TEST_F(SendLoop, EveryByteInOrderThroughPartialWrites) {
  ScriptedPort port{{{5, 10}, {0, 1000}, {7, 3}, {100, 1}}};
  EXPECT_TRUE(send(&port, kData));
  EXPECT_EQ(port.got, kData);
}

TEST_F(SendLoop, NothingToSendTouchesNoPort) {
  ScriptedPort port{{{-1, 0}}};
  EXPECT_TRUE(send(&port, ""));
  EXPECT_EQ(port.calls, 0);
}

TEST_F(SendLoop, AFailedWriteFailsTheSend) {
  ScriptedPort port{{{4, 1}, {-1, 1}}};
  EXPECT_FALSE(send(&port, kData));
  EXPECT_EQ(port.got, "0123");
}

TEST_F(SendLoop, ABoardThatTakesNothingFailsAfterTheLimit) {
  // Writes that time out after the port's 1000 ms with nothing taken.
  ScriptedPort port{{{3, 1}, {0, 1000}}};
  const int64_t start = fake_now;
  EXPECT_FALSE(send(&port, kData));
  const int64_t took = fake_now - start;
  EXPECT_GE(took, SERIAL_NO_PROGRESS_MS);
  EXPECT_LE(took, SERIAL_NO_PROGRESS_MS + 1000 + 200);
}

TEST_F(SendLoop, EveryByteTakenRestartsTheLimit) {
  // 29 s of nothing, one byte, again and again: slow but never stuck.
  std::vector<ScriptedPort::Step> steps;
  for (size_t i = 0; i < kData.size(); ++i) {
    steps.push_back({0, 29000});
    steps.push_back({1, 1});
  }
  ScriptedPort port{steps};
  EXPECT_TRUE(send(&port, kData));
  EXPECT_EQ(port.got, kData);
}

// A board that takes `takes` bytes and then stops reading, behind a port
// whose write call waits out its time-out (20 ms per byte asked for plus
// 1000 ms) unless it can take everything asked for at once.
struct StallingPort {
  int32_t takes;
  std::string got;
  int32_t largest_ask = 0;
  int64_t last_byte_at = 0;

  static int32_t write(void *context, const uint8_t *bytes, int32_t count) {
    auto *p = static_cast<StallingPort *>(context);
    p->largest_ask = std::max(p->largest_ask, count);
    const int32_t room = p->takes - static_cast<int32_t>(p->got.size());
    const int32_t n = std::min(room, count);
    p->got.append(reinterpret_cast<const char *>(bytes), static_cast<size_t>(n));
    if (n > 0)
      p->last_byte_at = fake_now;
    if (n < count)
      fake_now += 20 * int64_t{count} + 1000;
    return n;
  }
};

TEST_F(SendLoop, AStalledBoardIsGivenUpSoonAfterTheLimitWhateverThePieceSize) {
  for (const int32_t piece : {4096, 65536}) {
    for (const int32_t takes : {0, 1, 127, 128, 1000}) {
      SCOPED_TRACE(testing::Message() << piece << "-byte piece, board takes " << takes);
      const std::string data(static_cast<size_t>(piece), 'x');
      StallingPort port{takes};
      port.last_byte_at = fake_now;
      EXPECT_FALSE(serial_send_loop(reinterpret_cast<const uint8_t *>(data.data()), piece, StallingPort::write, &port));
      EXPECT_EQ(port.got.size(), static_cast<size_t>(takes));
      EXPECT_LE(port.largest_ask, SERIAL_WRITE_CALL_BYTES);
      // The limit, then at most the call that took the last bytes and the
      // one that crossed the limit.
      const int64_t write_call_ms = 20 * int64_t{SERIAL_WRITE_CALL_BYTES} + 1000;
      EXPECT_LE(fake_now - port.last_byte_at, SERIAL_NO_PROGRESS_MS + 2 * write_call_ms + 100);
    }
  }
}

TEST_F(SendLoop, APieceLargerThanOneWriteCallGoesOutWholeAndInOrder) {
  std::string data(5000, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 7);
  ScriptedPort port{{{1000, 1}}};
  EXPECT_TRUE(send(&port, data));
  EXPECT_EQ(port.got, data);
  EXPECT_EQ(port.largest_ask, SERIAL_WRITE_CALL_BYTES);
  EXPECT_EQ(port.calls, (5000 + SERIAL_WRITE_CALL_BYTES - 1) / SERIAL_WRITE_CALL_BYTES);
}

TEST_F(SendLoop, OneLongWriteThatTakesSomethingIsProgress) {
  // A write call that takes something is progress however long it lasted;
  // the limit counts from its end.
  ScriptedPort port{{{10, 82920}, {0, 29000}, {100, 1}}};
  EXPECT_TRUE(send(&port, kData));
}

} // namespace

// A stop asked for is seen before the next write call, and the count of
// bytes taken says how far the send got, whatever the outcome.
TEST_F(SendLoop, AStopIsSeenBeforeTheNextWriteAndTheCountSaysHowFarItGot) {
  struct Case {
    int stop_after_calls; // the stop shows once this many write calls were made
    bool ok;
    int32_t sent;
    int calls;
  };
  const Case cases[] = {{0, false, 0, 0}, {2, false, 15, 2}, {100, true, 36, 4}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.stop_after_calls);
    static ScriptedPort *watched = nullptr;
    static int stop_after = 0;
    ScriptedPort port{{{5, 10}, {10, 10}, {0, 1000}, {100, 1}}};
    watched = &port;
    stop_after = c.stop_after_calls;
    int32_t sent = -1;
    const bool ok = serial_send_loop(
        reinterpret_cast<const uint8_t *>(kData.data()), static_cast<int32_t>(kData.size()), ScriptedPort::write, &port,
        [] { return watched->calls >= stop_after; }, &sent);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(port.calls, c.calls);
    EXPECT_EQ(port.got, kData.substr(0, static_cast<size_t>(c.sent)));
  }
}
