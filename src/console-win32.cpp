#include "console.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
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

// Progress for a pipe that ntdll cannot tell of (Wine's pipes to a Unix
// process): a thread of its own writes it, straight to the handle, and the
// transfer waits for that write only up to kProgressWaitMs, so a reader
// that reads keeps every line in order. One text at a time: while the
// thread is still writing (the pipe is full), a newer text is skipped.
// Should a stuck reader start reading again, that one write may land after
// a line printed meanwhile.
struct progress_writer_t {
  HANDLE handle = nullptr;
  HANDLE wake = nullptr;
  HANDLE done = nullptr;
  std::atomic<bool> busy{false};
  char text[256] = {};
  DWORD length = 0;
};

DWORD WINAPI progress_thread(LPVOID context) {
  auto *w = static_cast<progress_writer_t *>(context);
  for (;;) {
    if (WaitForSingleObject(w->wake, INFINITE) != WAIT_OBJECT_0)
      return 0;
    DWORD written = 0;
    (void)WriteFile(w->handle, w->text, w->length, &written, nullptr);
    w->busy.store(false);
    SetEvent(w->done);
  }
}

// The writer, once one was started.
std::atomic<progress_writer_t *> started_writer{nullptr};

// Null when the thread cannot be had: the text is then written in place.
progress_writer_t *progress_writer(HANDLE out) {
  static progress_writer_t *const writer = [out]() -> progress_writer_t * {
    auto *w = new (std::nothrow) progress_writer_t;
    if (!w)
      return nullptr;
    w->handle = out;
    w->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    w->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = w->wake && w->done ? CreateThread(nullptr, 0, progress_thread, w, 0, nullptr) : nullptr;
    if (!thread) {
      if (w->wake)
        CloseHandle(w->wake);
      if (w->done)
        CloseHandle(w->done);
      delete w;
      return nullptr;
    }
    CloseHandle(thread); // it runs until the process ends
    started_writer.store(w);
    return w;
  }();
  return writer;
}

constexpr DWORD kProgressWaitMs = 50;

// Whether a pipe takes `bytes` more at once: 1 yes, 0 no, -1 cannot tell.
int pipe_has_room(HANDLE out, size_t bytes) {
  static const query_file_fn query = find_query_file();
  if (!query)
    return -1;
  pipe_local_information_t info{};
  io_status_block_t status{};
  if (query(out, &status, &info, sizeof info, kFilePipeLocalInformation) < 0)
    return -1;
  return info.WriteQuotaAvailable >= bytes ? 1 : 0;
}

} // namespace

bool console_write_progress(const char *text) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const size_t length = std::strlen(text);
  const bool pipe = out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_PIPE;
  const int room = pipe ? pipe_has_room(out, length) : 1;
  if (room == 0)
    return false;
  progress_writer_t *writer = room < 0 && length < sizeof writer->text ? progress_writer(out) : nullptr;
  if (!writer) {
    std::fputs(text, stdout);
    std::fflush(stdout);
    return true;
  }
  if (writer->busy.load())
    return false;
  std::fflush(stdout); // what was printed before goes first
  // Line breaks as the C library writes them in text mode.
  DWORD n = 0;
  for (const char *p = text; *p && n + 2 < sizeof writer->text; ++p) {
    if (*p == '\n')
      writer->text[n++] = '\r';
    writer->text[n++] = *p;
  }
  writer->length = n;
  writer->busy.store(true);
  ResetEvent(writer->done);
  SetEvent(writer->wake);
  (void)WaitForSingleObject(writer->done, kProgressWaitMs);
  return true;
}

void console_progress_settle() {
  const progress_writer_t *w = started_writer.load();
  for (int waited = 0; w && w->busy.load() && waited < 5000; waited += 5)
    Sleep(5);
}
