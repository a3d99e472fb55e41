#pragma once
// Stopping a run on the technician's word: Ctrl-C, SIGTERM and SIGHUP on
// Linux; Ctrl-C, Ctrl-Break and closing the console window on Windows.
//
// Outside an update a request ends the process at once with -1. While an
// update runs (interrupt_defer was called) the first request only raises a
// flag: the send loop, the transfer, every wait on the board or the drive
// and the drive copy look at it and stop at their next safe point, so the
// port and any file on the drive are released and the board's state can be
// told. A second request ends the process at once with -1.
// Operating-system half: interrupt-posix.cpp, interrupt-win32.cpp.

// Installs the handlers; also makes a write to a closed pipe an error the
// program sees rather than the end of the process (SIGPIPE ignored). Called
// once, early in main.
void interrupt_install();

// From now on a first request asks the run to stop instead of ending it.
void interrupt_defer();

// True once a stop was asked for. Lock-free; may be called from any thread.
bool interrupt_requested();

// The main thread has released everything and is about to leave. On Windows
// the handler of a console close holds the process open (at most about 3 s)
// until then.
void interrupt_cleanup_done();

// ---- The portable part, shared by both halves and their tests ----

enum interrupt_action_t {
  INTERRUPT_STOP_AT_SAFE_POINT, // the flag is raised; the run winds down
  INTERRUPT_EXIT_NOW,           // end the process at once with -1
};

// Counts one request and says what the handler does with it. Async-signal-
// safe: touches only lock-free atomics.
interrupt_action_t interrupt_note_request();

// Back to the state at start-up: nothing asked, not deferred. For tests.
void interrupt_reset();

// Windows: what a console event is to the run. Ctrl-C and Ctrl-Break ask for
// a stop; a closing console (window closed, log-off, shutdown) asks too, and
// the handler then holds the process open for the clean-up; anything else is
// left to the next handler.
enum interrupt_console_t {
  INTERRUPT_CONSOLE_IGNORED,
  INTERRUPT_CONSOLE_REQUEST,
  INTERRUPT_CONSOLE_CLOSING,
};
interrupt_console_t interrupt_console_event(unsigned long event);
