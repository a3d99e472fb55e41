#pragma once

// Prepares the process's console for orvup's output: on Windows the console
// is switched to UTF-8 so the em dash in the I/O update's messages shows as
// one. Nothing to do elsewhere.
void console_init();
