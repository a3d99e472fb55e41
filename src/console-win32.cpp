#include "console.h"

#include <windows.h>

void console_init() {
  // Our messages are UTF-8 bytes; without this a technician's console shows
  // the em dash as three code-page characters. Fails harmlessly when the
  // output goes to a pipe or a file.
  SetConsoleOutputCP(CP_UTF8);
}
