// watch-probe: a link that follows the simulated board through an unplug and
// a replug under Wine, which raises no device events of its own. A second
// thread stands in for the system's device manager: it watches a file whose
// presence means "the board is on the bus" (the simulator's port link) and
// sends the link's watcher window the removal and arrival broadcasts that
// Windows would send.
//
//   watch-probe PORT PRESENCE_FILE
// The link opens PORT and sends "FWUP 16\n", expecting "START". Once the
// removal has been broadcast it sends "FWUP 16\n" again at once: that send
// waits for the board and must go on over the reopened port, answered with
// "START" again. Prints what happened, with "reopened in N ms" (from the
// file's return being seen to the watcher having reopened the port).
// Exit status 0 when both answers came, 1 otherwise, 2 when the port did not
// open.
#include "ports.h"
#include "serial.h"
#include "timer.h"
#include "watcher-win32.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dbt.h>
#include <string>
#include <thread>
#include <vector>

namespace {

BOOL CALLBACK find_window(HWND hwnd, LPARAM out) {
  char name[64];
  if (GetClassNameA(hwnd, name, sizeof(name)) && std::strcmp(name, kWatcherWindowClass) == 0) {
    *reinterpret_cast<HWND *>(out) = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND watcher_window(serial_t *s) {
  HWND found = nullptr;
  for (const int64_t start = timer_monotonic_ms(); !found && timer_monotonic_ms() - start < 5000; Sleep(1))
    EnumThreadWindows(s->transport->thread_id, find_window, reinterpret_cast<LPARAM>(&found));
  return found;
}

struct DeviceManager {
  HWND window;
  std::string presence_file;
  std::string interface_path;
  std::atomic<bool> stop{false};
  std::atomic<int> removals{0};
  std::atomic<int> arrivals{0};

  void broadcast(WPARAM event) {
    constexpr size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    std::vector<char> bytes(offset + interface_path.size() + 1, '\0');
    auto *r = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(bytes.data());
    r->dbcc_size = static_cast<DWORD>(bytes.size());
    r->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    r->dbcc_classguid = GUID_DEVINTERFACE_COMPORT;
    std::memcpy(r->dbcc_name, interface_path.data(), interface_path.size());
    SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(bytes.data()));
  }

  // Wine refuses the attributes of a terminal device, but lists a link to
  // one as long as the terminal is there, and a dangling link not at all.
  bool present_now() const {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(presence_file.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
      return false;
    FindClose(h);
    return true;
  }

  void run() {
    bool present = true;
    while (!stop) {
      const bool now = present_now();
      if (now != present) {
        present = now;
        const int64_t seen = timer_monotonic_ms();
        broadcast(now ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE);
        if (now) {
          std::printf("arrival broadcast, reopened in %lld ms\n", static_cast<long long>(timer_monotonic_ms() - seen));
          ++arrivals;
        } else {
          std::printf("removal broadcast\n");
          ++removals;
        }
        std::fflush(stdout);
      }
      Sleep(2);
    }
  }
};

bool expect_line(serial_t *s, const char *want, int ms) {
  char line[256];
  for (const int32_t start = get_absolute_time(); !time_reached(start, ms);)
    if (serial_rx_pop(s, line, sizeof(line)) && std::strcmp(line, want) == 0)
      return true;
  return false;
}

bool handshake(serial_t *s, const char *which) {
  const int64_t start = timer_monotonic_ms();
  const bool sent = serial_tx(s, "FWUP 16\n");
  const bool answered = sent && expect_line(s, "START", 5000);
  std::printf("%s FWUP %s after %lld ms\n", which,
              answered ? "answered"
              : sent   ? "unanswered"
                       : "failed",
              static_cast<long long>(timer_monotonic_ms() - start));
  std::fflush(stdout);
  return answered;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: watch-probe PORT PRESENCE_FILE\n");
    return 2;
  }
  serial_t s;
  if (!serial_init(&s, argv[1])) {
    serial_free(&s);
    return 2;
  }
  DeviceManager manager;
  manager.window = watcher_window(&s);
  manager.presence_file = argv[2];
  char path[1024];
  if (!manager.window || !PortNameToDevicePathA(argv[1], path, sizeof(path)) || !manager.present_now()) {
    std::printf("no watcher window, no interface for %s or no %s (%lu)\n", argv[1], argv[2], GetLastError());
    serial_free(&s);
    return 2;
  }
  manager.interface_path = path;
  std::thread devices([&manager] { manager.run(); });

  bool ok = handshake(&s, "first");
  for (const int64_t start = timer_monotonic_ms(); !manager.removals && timer_monotonic_ms() - start < 20000;)
    Sleep(1);
  ok = ok && manager.removals > 0;
  // Sent while the board is off the bus: it waits for the board's return.
  ok = handshake(&s, "second") && ok;

  manager.stop = true;
  devices.join();
  serial_free(&s);
  std::printf("freed\n");
  return ok ? 0 : 1;
}
