#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

// Opens a firmware file for reading when it is a regular file, and gives its
// size as the open file reports it, at full width. Null when it is not a
// regular file (a directory, a device, a FIFO: none is opened in a way that
// could wait) or cannot be opened. Everything an update knows of the file
// comes through this one open, so a file replaced on disk meanwhile cannot
// lend its size to another file's bytes. Operating-system half:
// functions-posix.cpp, functions-win32.cpp.
std::FILE *regular_file_open(const char *path, int64_t *size);

// Reads an open file whose size is known: exactly `size` bytes into one new
// heap buffer, which the caller frees, and then end of file. Returns the size
// (at least 1), or -1 storing nothing when the size is 0 or larger than
// 2147483647, the buffer cannot be allocated, or the file ends early or goes
// on past `size` (it changed while it was read).
int32_t file_read_whole(std::FILE *file, int64_t size, uint8_t **out);

// regular_file_open and file_read_whole in one: a whole firmware file, or -1
// as either refuses it.
int32_t load_file(const char *path, uint8_t **out);

// Closes a file on every way out. Only files that are read are held this
// way, so a failed close loses nothing.
struct file_close_t {
  void operator()(std::FILE *file) const { (void)std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_close_t>;

// Owns a block from the C allocator (load_file's buffer, the drive name of
// bootsel_find_mount) and gives it back with std::free on every way out.
struct heap_free_t {
  void operator()(void *block) const { std::free(block); }
};
template <class T> using heap_ptr = std::unique_ptr<T, heap_free_t>;

// A firmware file read whole, owned by the record: load_file's result with
// its buffer held. `size` is -1 and `bytes` null when the file was refused.
struct image_t {
  heap_ptr<uint8_t[]> bytes;
  int32_t size = -1;
};
image_t image_load(const char *path);
// The same from a file already open (null: refused), as file_read_whole.
image_t image_read(std::FILE *file, int64_t size);

// Pause the calling thread until `ms` milliseconds have passed.
void wait_ms(int32_t ms);

// A string list is one heap block of NUL-terminated strings back to back,
// ended by an empty string: "COM3\0COM4\0\0". While it is built, `list` is
// the block (it may move at every addition) and `end` points one past the
// final NUL. A reader walks the strings until it meets the empty one.
void string_list_init(char **list, char **end);
void string_list_add(char **list, char **end, const char *s);
void string_list_free(char *list);

// Copies at most dest_size - 1 characters of src and always ends with a NUL:
// a caller's buffer that is too small gets the start of the text, never an
// overrun. Does nothing when dest_size is below 1.
void copy_cut(char *dest, int dest_size, const char *src);

// Little-endian numbers as firmware files store them (UF2 blocks, ESP32
// image headers), read from any alignment.
inline uint32_t read_le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t read_le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Formats like snprintf into dest (dest_size bytes), cutting the text to
// fit and always ending it with a NUL: for messages and reasons, whose end
// may be lost but which must never run past their buffer. Where a cut would
// name something else (a path, a command), check snprintf's count instead.
void format_cut(char *dest, size_t dest_size, const char *format, ...) __attribute__((format(printf, 3, 4)));
