#include "console.h"

#include <cstdio>
#include <cstdlib>
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
      (void)std::freopen("NUL", i == 0 ? "r" : "w", streams[i]); // without NUL the stream stays as it was
  }
}

namespace {

// The console's output code page as we found it; 0 while nothing is to be
// put back.
UINT found_code_page = 0;

} // namespace

void console_init() {
  // Our messages are UTF-8 bytes; without this a technician's console shows
  // the em dash as three code-page characters. Fails harmlessly when the
  // output goes to a pipe or a file. The console is the technician's, shared
  // with the shell and whatever runs after us: its code page is put back at
  // exit.
  const UINT found = GetConsoleOutputCP();
  if (found != 0 && found != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    found_code_page = found;
    // Without the exit hook the code page stays UTF-8: no worse than before.
    (void)std::atexit(console_restore);
  }
}

void console_restore() {
  if (found_code_page == 0)
    return;
  std::fflush(stdout);
  std::fflush(stderr);
  SetConsoleOutputCP(found_code_page);
  found_code_page = 0;
}
