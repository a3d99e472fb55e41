#include "interrupt.h"

#include "console.h"

#include <atomic>
#include <windows.h>

namespace {

std::atomic<bool> cleaned_up{false};

// Ends the process at once with -1, from the console's handler thread: the
// main thread may be anywhere, so nothing of the C library is touched.
[[noreturn]] void exit_now() {
  console_restore_code_page();
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
  ExitProcess(static_cast<UINT>(-1)); // not reached
}

// Windows calls this on a thread of its own for each console event.
BOOL WINAPI on_console_event(DWORD event) {
  const interrupt_console_t kind = interrupt_console_event(event);
  if (kind == INTERRUPT_CONSOLE_IGNORED)
    return FALSE;
  if (interrupt_note_request() == INTERRUPT_EXIT_NOW)
    exit_now();
  if (kind == INTERRUPT_CONSOLE_REQUEST)
    return TRUE;
  // The console is going away and ends the process once this returns (or a
  // few seconds after the event): give the main thread about 3 s to release
  // the port and the drive's file and to say what state the board is in. It
  // normally leaves on its own meanwhile, which ends this thread too.
  for (int waited = 0; waited < 3000 && !cleaned_up.load(); waited += 20)
    Sleep(20);
  for (int waited = 0; waited < 1000 && cleaned_up.load(); waited += 20)
    Sleep(20);
  exit_now();
}

} // namespace

interrupt_console_t interrupt_console_event(unsigned long event) {
  switch (event) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
    return INTERRUPT_CONSOLE_REQUEST;
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    return INTERRUPT_CONSOLE_CLOSING;
  default:
    return INTERRUPT_CONSOLE_IGNORED;
  }
}

void interrupt_install() {
  // A program started without Ctrl-C handling (CREATE_NEW_PROCESS_GROUP)
  // gets it back, so a technician's Ctrl-C always reaches this handler.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void interrupt_cleanup_done() { cleaned_up.store(true); }
