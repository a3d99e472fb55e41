#include "ports-win32.h"

#include "functions.h"
#include "ports.h"

#include <setupapi.h>

#include <cstring>

const int PORT_NAME_MAX_CHARS = 63;

// None of these calls block for long: they read the registry and the
// system's device database, and see only devices present at the moment.

namespace {

constexpr DWORD kPortTableBytes = 256;
constexpr DWORD kPortNameBytes = 32;

// Registry strings need not end in a NUL: a value whose text fills the
// whole buffer comes back without one. Every read lands in a buffer one
// byte longer than the registry is told, and `len` (what the registry
// wrote) is where the text ends at the latest.
void terminate_read(char *buf, DWORD len, DWORD capacity) { buf[len < capacity ? len : capacity] = '\0'; }

// What a mapping does with one present COM-port interface once its detail
// record is at hand: 1 when it found its answer (and wrote `dest`), 0 to go
// on with the next interface.
using InterfaceVisit = int (*)(HDEVINFO set, SP_DEVINFO_DATA *dev, const char *interface_path, const char *wanted,
                               char *dest, int dest_size);

// Reads the device's "PortName" (its COM name) into `name`, which holds
// kPortNameBytes + 1. 0 when the device has no such value or it cannot be
// read; an over-long name counts as unreadable.
int read_port_name(HDEVINFO set, SP_DEVINFO_DATA *dev, char *name) {
  HKEY key = SetupDiOpenDevRegKey(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE)
    return 0;
  DWORD len = kPortNameBytes;
  const LONG rc = RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE *>(name), &len);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS)
    return 0;
  terminate_read(name, len, kPortNameBytes);
  return 1;
}

int visit_by_port_name(HDEVINFO set, SP_DEVINFO_DATA *dev, const char *interface_path, const char *wanted, char *dest,
                       int dest_size) {
  char name[kPortNameBytes + 1];
  // Byte for byte: COM names are what the user typed after --port, and a
  // near miss must not open somebody else's port.
  if (!read_port_name(set, dev, name) || std::strcmp(name, wanted) != 0)
    return 0;
  copy_cut(dest, dest_size, interface_path);
  return 1;
}

int visit_by_interface_path(HDEVINFO set, SP_DEVINFO_DATA *dev, const char *interface_path, const char *wanted,
                            char *dest, int dest_size) {
  // Broadcasts may spell the path in other letter case than the device
  // database does; the path itself is not case-sensitive.
  if (_stricmp(interface_path, wanted) != 0)
    return 0;
  char name[kPortNameBytes + 1];
  if (!read_port_name(set, dev, name))
    return 0;
  copy_cut(dest, dest_size, name);
  return 1;
}

// Walks the COM-port interfaces of the devices present now, first match
// wins. Every interface set, detail record and key taken here is released
// before it returns.
int find_com_interface(const char *wanted, char *dest, int dest_size, InterfaceVisit visit) {
  // No room for even the terminating NUL: nothing could be handed back.
  if (!wanted || !dest || dest_size < 1)
    return 0;
  HDEVINFO set =
      SetupDiGetClassDevsA(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE)
    return 0;

  int found = 0;
  SP_DEVICE_INTERFACE_DATA itf{};
  itf.cbSize = sizeof(itf);
  for (DWORD index = 0; !found && SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_COMPORT, index, &itf);
       ++index) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, &required, nullptr);
    // A size query that failed outright reports nothing usable; the record
    // must at least hold its own header before cbSize is written into it.
    DWORD size = required;
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
      size = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(LocalAlloc(LMEM_FIXED, size));
    if (!detail)
      break;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof(dev);
    if (SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, size, nullptr, &dev)) {
      // The path ends inside the record; make sure of it before reading it.
      reinterpret_cast<char *>(detail)[size - 1] = '\0';
      found = visit(set, &dev, detail->DevicePath, wanted, dest, dest_size);
    }
    LocalFree(detail);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

} // namespace

char *ports_list_from_key(HKEY root, const char *subkey) {
  char *list, *end;
  string_list_init(&list, &end);
  HKEY key;
  if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return list;
  char name[kPortTableBytes];
  char data[kPortTableBytes + 1];
  for (DWORD index = 0;; ++index) {
    DWORD name_len = kPortTableBytes;
    // Ends at the last value, and also at a name too long for the buffer:
    // the port table's names are short kernel device names.
    if (RegEnumValueA(key, index, name, &name_len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    DWORD data_len = kPortTableBytes;
    // A port that went away between the enumeration and this read adds
    // nothing.
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(data), &data_len) != ERROR_SUCCESS)
      continue;
    terminate_read(data, data_len, kPortTableBytes);
    // An empty string would end the list for every reader and hide the
    // ports after it.
    if (data[0])
      string_list_add(&list, &end, data);
  }
  RegCloseKey(key);
  return list;
}

char *serial_find_ports() { return ports_list_from_key(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM"); }

int PortNameToDevicePathA(const char *port_name, char *dest, int dest_size) {
  return find_com_interface(port_name, dest, dest_size, visit_by_port_name);
}

int DevicePathToPortNameA(const char *device_path, char *dest, int dest_size) {
  return find_com_interface(device_path, dest, dest_size, visit_by_interface_path);
}
