#pragma once

// The serial ports the system knows, as a string list (functions.h) that the
// caller releases with string_list_free. An empty list when none can be read.
char *serial_find_ports();

// Maps a port name (COM5 on Windows) to the device path the hot-plug watcher
// compares on arrival and removal, and back. 1 with the result copied (cut
// to size - 1 characters, always NUL-terminated); 0 with the destination
// untouched.
int PortNameToDevicePathA(const char *port_name, char *dest, int dest_size);
int DevicePathToPortNameA(const char *device_path, char *dest, int dest_size);
