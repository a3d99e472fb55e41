#pragma once
#include <cstdint>

// Reads a whole firmware file into one new heap buffer, which the caller
// frees, and returns its size (at least 1). Returns -1 and stores nothing
// when the path is not a regular file, cannot be opened, is empty, is larger
// than 2147483647 bytes, cannot be allocated or reads short.
int32_t load_file(const char *path, uint8_t **out);

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

// The size of a regular file as the file system reports it, at full width;
// -1 when the path is not a regular file or cannot be examined. Lets an
// update refuse an oversized image before reading a byte of it.
int64_t regular_file_size(const char *path);
