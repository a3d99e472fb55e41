// The serial link's port work on Windows: a COM device opened for
// synchronous I/O, with read time-outs that make a read return at once and
// write time-outs that bound every write.
#include "serial-win32.h"

#include <cstdio>
#include <mmsystem.h>
#include <new>

namespace {

class HandleLock {
public:
  explicit HandleLock(serial_transport_t *t) : t_(t) { AcquireSRWLockExclusive(&t_->handle_lock); }
  ~HandleLock() { ReleaseSRWLockExclusive(&t_->handle_lock); }
  HandleLock(const HandleLock &) = delete;
  HandleLock &operator=(const HandleLock &) = delete;

private:
  serial_transport_t *t_;
};

} // namespace

// The link polls the board every 1-2 ms between reads and writes. With the
// default 15.6 ms system timer each of those pauses lasts a whole tick, so
// the link asks for a 1 ms timer while it is open and gives it back after.
serial_transport_t *serial_os_alloc() {
  auto *t = new (std::nothrow) serial_transport_t{};
  if (t)
    t->fine_timer = timeBeginPeriod(1) == TIMERR_NOERROR;
  return t;
}

void serial_os_release(serial_transport_t *t) {
  if (t && t->fine_timer)
    timeEndPeriod(1);
  delete t;
}

serial_shared_t *serial_os_shared(serial_transport_t *t) { return t; }

// Blocks only as long as the driver takes to open and configure the port.
// Returns false quietly when there is no such port or another program holds
// it; with a message when the port refuses its state or time-outs.
bool serial_os_open(serial_t *s) {
  serial_transport_t *t = s->transport;
  char device[sizeof(s->port_name) + 8];
  t->open_error = 0;
  const int length = std::snprintf(device, sizeof(device), "\\\\.\\%s", s->port_name);
  if (length < 0 || length >= static_cast<int>(sizeof(device))) {
    t->open_error = ERROR_FILENAME_EXCED_RANGE;
    return false; // a cut name would open another port
  }
  HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    t->open_error = GetLastError();
    return false;
  }

  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(h, &dcb)) {
    t->open_error = GetLastError();
    std::fputs("ERROR: Error getting state\n", stderr);
    CloseHandle(h);
    return false;
  }
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.StopBits = ONESTOPBIT;
  dcb.Parity = NOPARITY;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fNull = 0;
  if (!SetCommState(h, &dcb)) {
    t->open_error = GetLastError();
    std::fputs("ERROR: Error setting state\n", stderr);
    CloseHandle(h);
    return false;
  }
  // DTR tells the board's USB serial side that a host listens. A port without
  // modem lines refuses these; the link works without them. The purge drops
  // whatever the board said before we were listening.
  EscapeCommFunction(h, SETDTR);
  EscapeCommFunction(h, SETRTS);
  PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD; // with zero totals: a read returns at once
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 20;
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!SetCommTimeouts(h, &timeouts)) {
    t->open_error = GetLastError();
    std::fputs("ERROR: Error setting timeouts\n", stderr);
    CloseHandle(h);
    return false;
  }

  HandleLock hold(t);
  if (t->handle)
    CloseHandle(t->handle); // never leak a stale handle
  t->handle = h;
  return true;
}

bool serial_os_is_open(serial_transport_t *t) {
  HandleLock hold(t);
  return t->handle != nullptr;
}

// Returns at once with what has arrived (the read time-outs above).
int32_t serial_os_read(serial_transport_t *t, uint8_t *bytes, int32_t count) {
  HandleLock hold(t);
  if (!t->handle)
    return -1;
  DWORD got = 0;
  if (!ReadFile(t->handle, bytes, static_cast<DWORD>(count), &got, nullptr))
    return -1;
  return static_cast<int32_t>(got);
}

// Blocks at most the port's write time-out: 20 ms per byte asked for plus
// 1000 ms. Fails at once when the device has gone.
int32_t serial_os_write(serial_transport_t *t, const uint8_t *bytes, int32_t count) {
  HandleLock hold(t);
  if (!t->handle)
    return -1;
  DWORD written = 0;
  if (!WriteFile(t->handle, bytes, static_cast<DWORD>(count), &written, nullptr))
    return -1;
  return static_cast<int32_t>(written);
}

// Waits only for a read or write in progress to finish.
void serial_os_close(serial_transport_t *t) {
  HandleLock hold(t);
  if (!t->handle)
    return;
  CloseHandle(t->handle);
  t->handle = nullptr;
}

bool serial_port_present(const char *port_name) {
  char device[300];
  const int length = std::snprintf(device, sizeof(device), "\\\\.\\%s", port_name);
  if (length < 0 || length >= static_cast<int>(sizeof(device)))
    return false; // a cut name would be another port
  const HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return false;
  // A COM name whose device is gone may still open; it then has no state.
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  const bool present = GetCommState(h, &dcb) != 0;
  CloseHandle(h);
  return present;
}
