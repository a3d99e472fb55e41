#pragma once
#include <cstddef>

// Makes sure standard input, output and error are open, on the null device
// where they were not: started with one of them closed (`orvup ... >&-`),
// the first file the program opens would otherwise take its number, and the
// program's own progress text would go into the board's port or the drive.
// Called first thing in main, before anything is opened.
void console_claim_standard_streams();

// Prepares the process's console for orvup's output: on Windows the console
// is switched to UTF-8 so the em dash in the I/O update's messages shows as
// one. Nothing to do elsewhere.
void console_init();
// Gives the console back the output code page console_init found; also run
// at exit. Does nothing when console_init changed nothing.
void console_restore();
// Only puts the code page back, touching nothing of the C library: for a
// process that ends at once from another thread.
void console_restore_code_page();

// Writes the progress text to standard output if it can be taken now, and
// otherwise skips it (the next one says the same and more): the transfer
// never waits on a pipe whose reader is not reading. A terminal or a file is
// always written. Returns whether the text was written or handed on.
bool console_write_progress(const char *text);
// Waits until a progress text handed on is written (at most 5 s), so that
// what is printed next comes after it. Nothing to wait for where progress
// is written in place.
void console_progress_settle();
