#pragma once
// Why the I/O board's port would not open, in one line that a technician can
// act on. It follows "ERROR: Unable to open serial port %s" on standard
// error, indented as its continuation. The wording is chosen by plain
// functions of what the system said (tested on both builds); gathering those
// facts is each platform's half.
#include <cstddef>
#include <cstdint>

// Big enough for any reason line with a long device path, a list of ports
// and a holder's command name, each shown escaped.
constexpr size_t OPEN_REASON_SIZE = 8192;

// The error a POSIX open reports for a path that leads to the terminal this
// session runs in (beyond every errno value).
constexpr int OPEN_ERROR_OWN_TERMINAL = 0x10000;

// What Linux could tell about a port that failed to open.
struct open_facts_posix {
  int error = 0;                       // errno of the open, the lock or the first termios call
  uint32_t mode = 0;                   // the device's st_mode; 0 when it could not be examined
  char owner[64] = {};                 // the device's owner and group names ("" when unknown)
  char group[64] = {};                 //
  long holder_pid = 0;                 // a process that has the device open; 0 when none was found
  char holder_command[64] = {};        // that process's command name (/proc/PID/comm)
  const char *ports_present = nullptr; // the ports as --list shows them (a string list); null: none
};

// The reason line for a failed open on Linux, ending in a line feed.
void open_reason_posix(const char *port, const open_facts_posix *facts, char *dest, size_t dest_size);

// The reason line for a failed open on Windows, ending in a line feed:
// `error` is GetLastError's value, `system_text` the system's text for it
// (FormatMessage), `ports_present` the ports as --list shows them.
void open_reason_win32(const char *port, uint32_t error, const char *system_text, const char *ports_present, char *dest,
                       size_t dest_size);

// Prints the reason line for the link's last failed open of `port_name` (as
// the caller gave it) on standard error; the platform's half gathers the
// facts.
struct serial_t;
void serial_explain_open_failure(const serial_t *s, const char *port_name);
