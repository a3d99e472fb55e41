#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// Reads a whole firmware file into one new heap buffer, which the caller
// frees, and returns its size (at least 1). Returns -1 and stores nothing
// when the path is not a regular file, cannot be opened, is empty, is larger
// than 2147483647 bytes, cannot be allocated or reads short.
int32_t load_file(const char *path, uint8_t **out);

// Owns a block from the C allocator (load_file's buffer, the drive name of
// bootsel_find_mount) and gives it back with std::free on every way out.
struct heap_free_t {
  void operator()(void *block) const { std::free(block); }
};
template <class T> using heap_ptr = std::unique_ptr<T, heap_free_t>;

// A firmware file read whole, owned by the record: load_file's result with
// its buffer held. `size` is -1 and `bytes` null when load_file failed.
struct image_t {
  heap_ptr<uint8_t[]> bytes;
  int32_t size = -1;
};
image_t image_load(const char *path);

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

// Formats like snprintf into dest (dest_size bytes), cutting the text to
// fit and always ending it with a NUL: for messages and reasons, whose end
// may be lost but which must never run past their buffer. Where a cut would
// name something else (a path, a command), check snprintf's count instead.
void format_cut(char *dest, size_t dest_size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// The size of a regular file as the file system reports it, at full width;
// -1 when the path is not a regular file or cannot be examined. Lets an
// update refuse an oversized image before reading a byte of it.
int64_t regular_file_size(const char *path);
