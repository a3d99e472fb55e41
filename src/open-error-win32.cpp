// Gathers what Windows can tell about a port that would not open: the
// system's text for its error and the ports present.
#include "open-error.h"

#include "functions.h"
#include "ports.h"
#include "serial-win32.h"

#include <cstdio>

void serial_explain_open_failure(const serial_t *s, const char *port_name) {
  const DWORD error = serial_os_shared(s->transport)->open_error;
  char text[512] = {};
  if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof(text),
                      nullptr))
    text[0] = '\0';
  char *ports = serial_find_ports();
  char line[OPEN_REASON_SIZE];
  open_reason_win32(port_name, error, text, ports, line, sizeof(line));
  string_list_free(ports);
  std::fputs(line, stderr);
}
