#include "console.h"

void console_init() {}
