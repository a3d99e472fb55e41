#include "console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void console_restore_code_page() {
  if (found_code_page != 0)
    SetConsoleOutputCP(found_code_page);
}

namespace {

// What ntdll tells of a pipe end (FilePipeLocalInformation, class 24).
struct pipe_local_information_t {
  ULONG NamedPipeType;
  ULONG NamedPipeConfiguration;
  ULONG MaximumInstances;
  ULONG CurrentInstances;
  ULONG InboundQuota;
  ULONG ReadDataAvailable;
  ULONG OutboundQuota;
  ULONG WriteQuotaAvailable;
  ULONG NamedPipeState;
  ULONG NamedPipeEnd;
};
struct io_status_block_t {
  union {
    LONG Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
using query_file_fn = LONG(WINAPI *)(HANDLE, io_status_block_t *, PVOID, ULONG, ULONG);
constexpr ULONG kFilePipeLocalInformation = 24;

query_file_fn find_query_file() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (!ntdll)
    return nullptr;
  // A function pointer of the right type, from the untyped one.
  FARPROC found = GetProcAddress(ntdll, "NtQueryInformationFile");
  query_file_fn typed = nullptr;
  static_assert(sizeof typed == sizeof found);
  std::memcpy(&typed, &found, sizeof typed);
  return typed;
}

} // namespace

bool console_output_ready(size_t bytes) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) != FILE_TYPE_PIPE)
    return true;
  static const query_file_fn query = find_query_file();
  if (!query)
    return true;
  pipe_local_information_t info{};
  io_status_block_t status{};
  if (query(out, &status, &info, sizeof info, kFilePipeLocalInformation) < 0)
    return true; // not a pipe ntdll can tell of: written as before
  return info.WriteQuotaAvailable >= bytes;
}
