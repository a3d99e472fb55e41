#include "ports.h"

#include "functions.h"

// Placeholder until port enumeration lands: no ports, no mappings.
char *serial_find_ports() {
  char *list, *end;
  string_list_init(&list, &end);
  return list;
}

int PortNameToDevicePathA(const char *, char *, int) { return 0; }
int DevicePathToPortNameA(const char *, char *, int) { return 0; }
