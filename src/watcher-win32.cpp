// The link's watcher thread on Windows. It owns a hidden window that the
// system tells about arrivals and removals of COM-port interfaces, closes the
// port when the board leaves the bus and reopens it when the board comes
// back. It runs a message loop until a WM_QUIT posted to it says stop, and
// is then joined, never ended by TerminateThread, which could kill it
// holding the heap's lock or the port's. Nothing else posts WM_QUIT, and a
// posted message stays queued until the loop takes it, so no reconnection
// can withdraw a stop.
#include "watcher-win32.h"

#include "ports-win32.h"
#include "ports.h"
#include "timer.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dbt.h>

namespace {

// Where the interface path starts in an interface broadcast.
constexpr size_t kPathOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);

// Copies the COM-port interface path out of a broadcast, reading no further
// than the record's own size says (a record sent by another program may
// carry a path without its NUL). False for any other interface class.
bool com_port_path(const DEV_BROADCAST_HDR *header, char *path, size_t size) {
  if (header->dbch_size < kPathOffset)
    return false;
  const auto *itf = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(header);
  if (!IsEqualGUID(itf->dbcc_classguid, GUID_DEVINTERFACE_COMPORT))
    return false;
  size_t n = header->dbch_size - kPathOffset;
  if (n > size - 1)
    n = size - 1;
  n = strnlen(itf->dbcc_name, n);
  std::memcpy(path, itf->dbcc_name, n);
  path[n] = '\0';
  return true;
}

// The hidden window, made on this thread so that its messages come here.
// The class is process-wide: a second link's watcher finds it registered,
// and one that ends may unregister it between our registration and our
// window, so a window that cannot be made is tried once more.
HWND create_window(serial_t *s) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  HWND window = nullptr;
  for (int attempt = 0; attempt < 2 && !window; ++attempt) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = MyDeviceNotifyWndProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWatcherWindowClass;
    RegisterClassA(&wc);
    window = CreateWindowExA(0, kWatcherWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, s);
  }
  return window;
}

HDEVNOTIFY register_for_com_ports(HWND window) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  static_assert(sizeof(filter) == 32);
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_COMPORT;
  return RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// Posts the stop request. Posting fails until the thread has made its
// message queue, its first act, so a refused post is tried again until it is
// taken, the thread has ended, or SERIAL_WATCHER_STOP_MS have passed since
// `start`.
void post_quit(serial_transport_t *t, int64_t start) {
  while (!PostThreadMessageA(t->thread_id, WM_QUIT, 0, 0)) {
    if (WaitForSingleObject(t->thread, 1) == WAIT_OBJECT_0)
      return;
    if (timer_monotonic_ms() - start >= SERIAL_WATCHER_STOP_MS)
      return;
  }
}

} // namespace

DWORD WINAPI ThreadFunc(LPVOID param) {
  auto *s = static_cast<serial_t *>(param);
  MSG msg;
  // Make this thread's message queue now: until it exists a stop request
  // cannot be posted.
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  HWND window = create_window(s);
  HDEVNOTIFY note = window ? register_for_com_ports(window) : nullptr;
  if (!note) {
    // The link still works; it only cannot follow the board through a
    // replug. Without a window the reason is why the window failed.
    std::printf("RegisterDeviceNotification failed (%lu)\n", GetLastError());
    std::fflush(stdout);
  }
  // GetMessageA gives 0 for WM_QUIT; its -1, for an invalid window or
  // message pointer, cannot come with these.
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  // Leave nothing behind: the program may open another link after this one.
  if (note)
    UnregisterDeviceNotification(note);
  if (window)
    DestroyWindow(window);
  // Refused while another link's window still uses the class; that
  // watcher releases it when it ends.
  UnregisterClassA(kWatcherWindowClass, GetModuleHandleA(nullptr));
  return 0;
}

// Every window acts on the link it was made for (its creation parameter),
// not on the link connected last: with two links open, a broadcast must not
// reopen one link for the other, nor reach a link that is being freed.
LRESULT CALLBACK MyDeviceNotifyWndProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_NCCREATE) {
    const auto *create = reinterpret_cast<const CREATESTRUCTA *>(lparam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  } else if (msg == WM_DEVICECHANGE && lparam && (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE)) {
    const auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(lparam);
    auto *s = reinterpret_cast<serial_t *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    char path[sizeof(serial_transport_t::device_path)];
    if (s && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE && com_port_path(header, path, sizeof(path))) {
      if (wparam == DBT_DEVICEARRIVAL)
        OnComPortArrived(s, path);
      else
        OnComPortRemoved(s, path);
    }
  }
  return DefWindowProcA(hwnd, msg, wparam, lparam);
}

void OnComPortArrived(serial_t *s, const char *device_path) {
  serial_transport_t *t = s->transport;
  char name[256];
  // Byte for byte, as the user typed the port: "com5" is not the link's
  // "COM5" even though Windows would open either.
  if (DevicePathToPortNameA(device_path, name, sizeof(name)) && std::strcmp(name, s->port_name) == 0) {
    // The board's removal went unseen and the handle still points at the
    // device that left; while it stays open the port may refuse a new open.
    serial_os_close(t);
    serial_connect(s); // quiet when the port cannot be opened; the link stays closed
  }
  // Wakes a send that waits for the board; it fails at once if the port is
  // still closed.
  t->connected.store(true);
}

void OnComPortRemoved(serial_t *s, const char *device_path) {
  serial_transport_t *t = s->transport;
  // A removed device has left the device database, so its path no longer
  // maps to a COM name; the link recorded its port's interface path when it
  // opened the port. Paths are not case-sensitive, and broadcasts spell them
  // in other letter case than the database does.
  if (!t->device_path[0] || _stricmp(device_path, t->device_path) != 0)
    return;
  // Cleared first, so a send that starts now waits for the board's return
  // instead of failing on the closed port.
  t->connected.store(false);
  serial_os_close(t);
}

bool serial_watcher_start(serial_t *s) {
  serial_transport_t *t = s->transport;
  t->thread = CreateThread(nullptr, 0, ThreadFunc, s, 0, &t->thread_id);
  if (!t->thread) {
    std::printf("Failed to create thread. Error: %lu\n", GetLastError());
    return false;
  }
  return true;
}

void serial_watcher_request_stop(serial_transport_t *t) {
  if (t->thread)
    post_quit(t, timer_monotonic_ms());
}

bool serial_watcher_stop(serial_transport_t *t) {
  if (!t->thread)
    return true;
  const int64_t start = timer_monotonic_ms(); // the real clock, whatever a test put in
  post_quit(t, start);
  const int64_t left = SERIAL_WATCHER_STOP_MS - (timer_monotonic_ms() - start);
  const bool ended = WaitForSingleObject(t->thread, left > 0 ? static_cast<DWORD>(left) : 0) == WAIT_OBJECT_0;
  CloseHandle(t->thread); // one that did not end runs on, detached, with its record
  t->thread = nullptr;
  return ended;
}
