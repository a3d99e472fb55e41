#pragma once
// The link's hot-plug watcher on Windows: a thread with a hidden window that
// the system tells when a COM port arrives or is removed. Open to the tests,
// which send the window the broadcasts that a real board would cause.
#include "serial-win32.h"

// The class of the watcher's window; a thread's window is found by it.
inline constexpr char kWatcherWindowClass[] = "COMNotifyClass";

// Body of the watcher thread; `param` is the link (serial_t). Runs until a
// WM_QUIT is posted to the thread; returns 0.
DWORD WINAPI ThreadFunc(LPVOID param);
// The window procedure: hands COM-port arrivals and removals of the
// window's own link to the two handlers below, and every message on to
// DefWindowProcA, whose result it returns.
LRESULT CALLBACK MyDeviceNotifyWndProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
// A COM-port interface arrived: reopens the link when it is the link's
// port, and sets `connected` in every case, so that a send waiting for the
// board goes on (and fails at once if the port was not reopened).
void OnComPortArrived(serial_t *s, const char *device_path);
// A COM-port interface was removed: when it is the link's port, closes the
// port and clears `connected`; any other removal changes nothing.
void OnComPortRemoved(serial_t *s, const char *device_path);
