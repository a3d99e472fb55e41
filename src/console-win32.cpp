#include "console.h"

#include <cstdio>
#include <windows.h>

void console_claim_standard_streams() {
  // The port and the drive's file are Windows handles, never C descriptors,
  // so nothing of ours can take a missing stream's place; a stream started
  // without a handle is pointed at NUL so that writing to it is plainly
  // harmless.
  const DWORD ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  FILE *streams[] = {stdin, stdout, stderr};
  for (int i = 0; i < 3; ++i) {
    const HANDLE h = GetStdHandle(ids[i]);
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
      std::freopen("NUL", i == 0 ? "r" : "w", streams[i]);
  }
}

void console_init() {
  // Our messages are UTF-8 bytes; without this a technician's console shows
  // the em dash as three code-page characters. Fails harmlessly when the
  // output goes to a pipe or a file.
  SetConsoleOutputCP(CP_UTF8);
}
