#pragma once
// The Windows half of the port unit, open to its tests and to the hot-plug
// watcher, which filters its device notifications on the same class.
#include <windows.h>

// The device-interface class that every COM port (built in, USB CDC, USB to
// serial adapter) registers.
inline constexpr GUID GUID_DEVINTERFACE_COMPORT = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// The COM names held as the data of the values under `root`\`subkey`, in the
// order the registry enumerates them. serial_find_ports reads the system's
// port table through it; tests point it at a key of their own.
char *ports_list_from_key(HKEY root, const char *subkey);
