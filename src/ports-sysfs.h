#pragma once
// How Linux describes its tty devices in sysfs, read without the OS so that
// tests can check each rule on its own.

// Orders port names the way a technician counts them: runs of digits are
// compared by value, so ttyACM2 comes before ttyACM10 and ttyS9 before
// ttyS10. Names that differ only in leading zeros fall back to plain byte
// order, so the order is total and stable. <0, 0 or >0 like strcmp.
int ports_natural_compare(const char *a, const char *b);

// True when a serial-core port's "type" attribute says PORT_UNKNOWN (0):
// a slot the 8250 driver registers for a UART that is not there. Opening
// one fails, so it is no port to offer. Text that is not a number is not
// taken as unknown.
bool ports_type_is_unknown(const char *type_text);

// The /dev name of a sysfs tty entry: sysfs writes the '/' of nested device
// names as '!'. Writes at most dest_size - 1 characters and a NUL.
void ports_dev_name(const char *sysfs_name, char *dest, int dest_size);

// Linux only (ports-linux.cpp): the ports under `tty_root` (normally
// /sys/class/tty) that have hardware behind them and a node under
// `dev_root` (normally /dev), as paths under `dev_root`, in natural order.
// serial_find_ports is this with the real roots; tests pass fixture folders.
char *ports_scan_sysfs(const char *tty_root = "/sys/class/tty", const char *dev_root = "/dev");
