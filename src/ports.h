#pragma once

// The serial ports the system knows, as a string list (functions.h) that the
// caller releases with string_list_free. An empty list when none can be read.
//   Windows: the COM names of the registry's port table, in the registry's
//            own order (COM1, COM11, COM3 ... is what Windows hands out).
//   Linux:   full device paths of the tty devices that have hardware behind
//            them (/dev/ttyACM0, /dev/ttyUSB0, /dev/ttyS0), in natural order:
//            ttyACM2 before ttyACM10.
char *serial_find_ports();

// The longest port name --port takes. Windows: a COM name, at most 63
// characters. Linux: a device path, as long as a firmware path (stable
// names under /dev/serial/by-id are often longer than 63 characters).
extern const int PORT_NAME_MAX_CHARS;

// Maps a port name to the identity of the device behind it, and back. The
// link records the identity of its port when it opens it. Both see only
// devices present at the moment of the call. 1 with the result copied (cut
// to dest_size - 1 characters, always NUL-terminated); 0 with the
// destination untouched, also when dest_size is below 1.
//
// Windows: a COM name (COM5, letter case exact) <-> the device-interface
// path of the COM-port interface whose device carries that name (compared
// ignoring letter case, as broadcasts may spell it differently). The hot-plug
// watcher compares the paths that arrival and removal broadcasts name with
// these.
//
// Linux: a port has many names (/dev/ttyACM0, /dev/serial/by-id/usb-...,
// /dev/serial/by-path/...), all links to one device node, so both functions
// reduce whatever path they are given to the canonical node path that the
// links resolve to (realpath), provided it is a character device present
// now. It exists for every port the user can open, pseudo-terminals
// included, which the sysfs device path does not, and it is the name
// serial_find_ports lists. The hot-plug watcher watches the folder of the
// node path recorded at the open besides that of the --port path, as a by-id
// link goes with its device and can no longer be resolved once the board has
// left; it tells the board's return by the device number behind the --port
// path, not by these names. Linux paths are case-sensitive and compared
// exactly.
int PortNameToDevicePathA(const char *port_name, char *dest, int dest_size);
int DevicePathToPortNameA(const char *device_path, char *dest, int dest_size);
