// The hot-plug watcher under Wine, which raises no device events of its own:
// the tests send the watcher's window the broadcasts that a board leaving and
// rejoining the bus would cause, and look at the link afterwards. The test
// prefix (tests/wine/watcher.reg) maps COM25 onto /dev/ptmx, a port that
// always opens, and holds a fake device whose COM-port interface names
// COM25; tests/wine/comports.reg's device names COM40, which does not open.
#include "serial.h"
#include "timer.h"
#include "watcher-win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <dbt.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kLinkPort = "COM25";
// The interface paths as a broadcast may spell them (the device database
// hands them out in lower case).
const std::string kLinkPath = "\\\\?\\USB#VID_2E8A&PID_000A#ORVWATCH25#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
const std::string kOtherPath = "\\\\?\\USB#VID_2E8A&PID_000A#ORVTEST40#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
const std::string kNoPortPath = "\\\\?\\USB#VID_1234&PID_5678#GONE#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
constexpr GUID kUsbDeviceClass = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr size_t kPathOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);

// An interface broadcast as the system builds it: the path with its NUL
// right after the record's fixed part, and the record's size counting both.
struct Broadcast {
  std::vector<char> bytes;
  explicit Broadcast(const std::string &path, GUID cls = GUID_DEVINTERFACE_COMPORT,
                     DWORD type = DBT_DEVTYP_DEVICEINTERFACE)
      : bytes(kPathOffset + path.size() + 1, '\0') {
    auto *r = record();
    r->dbcc_size = static_cast<DWORD>(bytes.size());
    r->dbcc_devicetype = type;
    r->dbcc_classguid = cls;
    std::memcpy(r->dbcc_name, path.data(), path.size());
  }
  DEV_BROADCAST_DEVICEINTERFACE_A *record() {
    return reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(bytes.data());
  }
  LPARAM lparam() { return reinterpret_cast<LPARAM>(bytes.data()); }
};

BOOL CALLBACK find_watcher_window(HWND hwnd, LPARAM out) {
  char name[64];
  if (GetClassNameA(hwnd, name, sizeof(name)) && std::strcmp(name, kWatcherWindowClass) == 0) {
    *reinterpret_cast<HWND *>(out) = hwnd;
    return FALSE;
  }
  return TRUE;
}

// A link on a port, with its watcher's window once the watcher has made it.
class Link {
public:
  explicit Link(const std::string &port) { opened = serial_init(&s, port.c_str()); }
  ~Link() { serial_free(&s); }
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;

  serial_transport_t *t() { return s.transport; }
  HWND window() {
    HWND found = nullptr;
    const int64_t start = timer_monotonic_ms();
    while (!found && timer_monotonic_ms() - start < 5000) {
      EnumThreadWindows(t()->thread_id, find_watcher_window, reinterpret_cast<LPARAM>(&found));
      if (!found)
        Sleep(1);
    }
    return found;
  }
  LRESULT send(WPARAM event, Broadcast b) { return SendMessageA(window(), WM_DEVICECHANGE, event, b.lparam()); }
  bool open() { return t()->handle != nullptr; }
  int32_t connected() { return t()->connected.load() ? 1 : 0; }
  // Sets the open port to a speed the link never uses: a port that still
  // has it was not reopened since.
  void mark() {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(t()->handle, &dcb));
    dcb.BaudRate = CBR_9600;
    ASSERT_TRUE(SetCommState(t()->handle, &dcb));
  }
  bool reopened() {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    return GetCommState(t()->handle, &dcb) && dcb.BaudRate != CBR_9600;
  }

  serial_t s{};
  bool opened = false;
};

// A send started while the board is off the bus, which waits for it.
class WaitingSender {
public:
  explicit WaitingSender(serial_t *s)
      : thread_([this, s] {
          result_ = serial_tx(s, "FWUP 1\n") ? 1 : 0;
          done_ = true;
        }) {}
  ~WaitingSender() { thread_.join(); }
  bool done() const { return done_; }
  // The send's result once it ended within `ms`; -1 if it did not.
  int result_within(int ms) {
    const int64_t start = timer_monotonic_ms();
    while (!done_ && timer_monotonic_ms() - start < ms)
      Sleep(1);
    return done_ ? result_.load() : -1;
  }

private:
  std::atomic<bool> done_{false};
  std::atomic<int> result_{-1};
  std::thread thread_;
};

TEST(Watcher, TheLinksPortLeavesAndComesBack) {
  testing::internal::CaptureStdout();
  {
    Link link(kLinkPort);
    ASSERT_TRUE(link.opened);
    ASSERT_NE(link.window(), nullptr);
    ASSERT_TRUE(link.open());
    ASSERT_EQ(link.connected(), 1);

    link.send(DBT_DEVICEREMOVECOMPLETE, Broadcast(kLinkPath));
    EXPECT_FALSE(link.open());
    EXPECT_EQ(link.connected(), 0);
    link.send(DBT_DEVICEREMOVECOMPLETE, Broadcast(kLinkPath)); // told twice: nothing more to close
    EXPECT_FALSE(link.open());

    link.send(DBT_DEVICEARRIVAL, Broadcast(kLinkPath));
    EXPECT_TRUE(link.open());
    EXPECT_EQ(link.connected(), 1);
    EXPECT_TRUE(serial_tx(&link.s, "FWUP 1\n"));

    // A record whose size ends right after the path, with no NUL: the path
    // is read to the record's end and no further, and still matches.
    Broadcast bare(kLinkPath);
    bare.record()->dbcc_size -= 1;
    bare.bytes.back() = 'X';
    link.send(DBT_DEVICEREMOVECOMPLETE, bare);
    EXPECT_FALSE(link.open());
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the notification was registered";
}

TEST(Watcher, WhatIsNotTheLinksPortLeavingLeavesTheOpenLinkAlone) {
  struct Case {
    const char *what;
    WPARAM event;
    Broadcast broadcast;
    bool null_lparam;
  };
  Case cases[] = {
      {"another COM port arrives", DBT_DEVICEARRIVAL, Broadcast(kOtherPath), false},
      {"another COM port is removed", DBT_DEVICEREMOVECOMPLETE, Broadcast(kOtherPath), false},
      {"an unknown COM port is removed", DBT_DEVICEREMOVECOMPLETE, Broadcast(kNoPortPath), false},
      {"another interface class with the port's path", DBT_DEVICEREMOVECOMPLETE, Broadcast(kLinkPath, kUsbDeviceClass),
       false},
      {"another device type", DBT_DEVICEREMOVECOMPLETE,
       Broadcast(kLinkPath, GUID_DEVINTERFACE_COMPORT, DBT_DEVTYP_PORT), false},
      {"a query before removal", DBT_DEVICEQUERYREMOVE, Broadcast(kLinkPath), false},
      {"a removal pending", DBT_DEVICEREMOVEPENDING, Broadcast(kLinkPath), false},
      {"no record", DBT_DEVICEREMOVECOMPLETE, Broadcast(kLinkPath), true},
      {"a record cut inside the path", DBT_DEVICEREMOVECOMPLETE, Broadcast(kLinkPath), false},
  };
  cases[8].broadcast.record()->dbcc_size = static_cast<DWORD>(kPathOffset + 20);

  Link link(kLinkPort);
  ASSERT_TRUE(link.opened);
  const HWND window = link.window();
  ASSERT_NE(window, nullptr);
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (!link.open()) // a case before this one wrongly closed the link: start this one open again
      link.send(DBT_DEVICEARRIVAL, Broadcast(kLinkPath));
    link.mark();
    const LPARAM lparam = c.null_lparam ? 0 : c.broadcast.lparam();
    const LRESULT result = SendMessageA(window, WM_DEVICECHANGE, c.event, lparam);
    EXPECT_EQ(result, DefWindowProcA(window, WM_DEVICECHANGE, c.event, lparam));
    EXPECT_TRUE(link.open());
    EXPECT_FALSE(link.reopened());
    EXPECT_EQ(link.connected(), 1);
  }
}

TEST(Watcher, AnArrivalWakesAWaitingSendWhichGoesOnOnlyIfThePortCameBack) {
  struct Case {
    const char *what;
    std::string arrived;
    const char *port_name_by_then; // the link's port as the watcher sees it at the arrival
    bool port_back;
  };
  const Case cases[] = {
      {"the link's port", kLinkPath, nullptr, true},
      {"another COM port", kOtherPath, nullptr, false},
      {"a path that names no present port", kNoPortPath, nullptr, false},
      {"the link's port, which does not open", kOtherPath, "COM40", false},
      {"the link's port in other letter case", kLinkPath, "com25", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Link link(kLinkPort);
    ASSERT_TRUE(link.opened);
    link.send(DBT_DEVICEREMOVECOMPLETE, Broadcast(kLinkPath));
    ASSERT_FALSE(link.open());
    if (c.port_name_by_then) // the watcher waits in its loop and reads the name only on the next broadcast
      std::strcpy(link.s.port_name, c.port_name_by_then);

    WaitingSender sender(&link.s);
    Sleep(100);
    EXPECT_FALSE(sender.done()) << "a send waits while the board is off the bus";
    link.send(DBT_DEVICEARRIVAL, Broadcast(c.arrived));
    EXPECT_EQ(link.connected(), 1);
    EXPECT_EQ(link.open(), c.port_back);
    EXPECT_EQ(sender.result_within(5000), c.port_back ? 1 : 0);
    char line[256];
    EXPECT_FALSE(serial_rx_pop(&link.s, line, sizeof(line)));
  }
}

TEST(Watcher, AnArrivalOfTheOpenPortReplacesItsHandleWithoutLeakingTheOld) {
  Link link(kLinkPort);
  ASSERT_TRUE(link.opened);
  ASSERT_NE(link.window(), nullptr);
  DWORD before = 0, after = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
  for (int i = 0; i < 10; ++i) {
    link.mark();
    link.send(DBT_DEVICEARRIVAL, Broadcast(kLinkPath));
    ASSERT_TRUE(link.open());
    EXPECT_TRUE(link.reopened());
  }
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
  EXPECT_EQ(after, before);
  EXPECT_TRUE(serial_tx(&link.s, "FWUP 1\n"));
}

TEST(Watcher, EachWindowActsOnItsOwnLink) {
  // Wine lets two handles share a port, so both links open COM25; the one
  // opened last is the link connected last.
  Link first(kLinkPort), second(kLinkPort);
  ASSERT_TRUE(first.opened && second.opened);
  first.send(DBT_DEVICEREMOVECOMPLETE, Broadcast(kLinkPath));
  EXPECT_FALSE(first.open());
  EXPECT_TRUE(second.open());
  second.send(DBT_DEVICEREMOVECOMPLETE, Broadcast(kLinkPath));
  EXPECT_FALSE(second.open());
  first.send(DBT_DEVICEARRIVAL, Broadcast(kLinkPath));
  EXPECT_TRUE(first.open());
  EXPECT_FALSE(second.open());
  EXPECT_EQ(second.connected(), 0);
}

TEST(Watcher, EndsWhenFreedAndLeavesNoWindowOrClassBehind) {
  WNDCLASSA wc;
  for (int i = 0; i < 5; ++i) {
    serial_t s;
    ASSERT_TRUE(serial_init(&s, kLinkPort.c_str()));
    Link other(kLinkPort); // a second link keeps the class in use meanwhile
    ASSERT_NE(other.window(), nullptr);
    HWND window = nullptr;
    const DWORD thread_id = s.transport->thread_id;
    for (int64_t start = timer_monotonic_ms(); !window && timer_monotonic_ms() - start < 5000; Sleep(1))
      EnumThreadWindows(thread_id, find_watcher_window, reinterpret_cast<LPARAM>(&window));
    ASSERT_NE(window, nullptr);
    const int64_t start = timer_monotonic_ms();
    serial_free(&s);
    // Ended on the request, not left running once the wait for it gave up.
    EXPECT_LT(timer_monotonic_ms() - start, SERIAL_WATCHER_STOP_MS);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), kWatcherWindowClass, &wc)) << "still used by the other link";
  }
  EXPECT_FALSE(GetClassInfoA(GetModuleHandleA(nullptr), kWatcherWindowClass, &wc));
}

TEST(Watcher, AStopRequestEndsTheWatcherWhateverFollows) {
  // Asked at once, possibly before the thread has its message queue; and
  // asked of a running watcher just before the port is reopened, which must
  // not withdraw the request.
  for (const bool running : {false, true}) {
    SCOPED_TRACE(running ? "stop, then a reconnection" : "stop at once");
    Link link(kLinkPort);
    ASSERT_TRUE(link.opened);
    const HWND window = running ? link.window() : nullptr;
    if (running) {
      ASSERT_NE(window, nullptr);
    }
    serial_stop(&link.s);
    if (running) {
      // As the watcher does when the board comes back; whether the port
      // opens again does not matter here.
      serial_connect(&link.s);
    }
    EXPECT_EQ(WaitForSingleObject(link.t()->thread, 2000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(window && IsWindow(window));
    EXPECT_TRUE(link.open()) << "the port stays the link's";
  }
}

LRESULT CALLBACK refuse_creation(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  return msg == WM_NCCREATE ? FALSE : DefWindowProcA(hwnd, msg, wparam, lparam);
}

TEST(Watcher, WithoutItsNotificationTheLinkStillWorksAndSaysWhy) {
  // A class of the same name whose windows cannot be made: the watcher
  // gets no window and so no notification.
  WNDCLASSA wc{};
  wc.lpfnWndProc = refuse_creation;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kWatcherWindowClass;
  ASSERT_NE(RegisterClassA(&wc), 0);
  testing::internal::CaptureStdout();
  {
    Link link(kLinkPort);
    EXPECT_TRUE(link.opened);
    EXPECT_TRUE(serial_tx(&link.s, "FWUP 1\n"));
  } // freed: the watcher has printed everything it will
  const std::string out = testing::internal::GetCapturedStdout();
  UnregisterClassA(kWatcherWindowClass, GetModuleHandleA(nullptr));
  EXPECT_TRUE(testing::internal::RE::FullMatch(out, "RegisterDeviceNotification failed \\(\\d+\\)\n")) << out;
}

} // namespace
