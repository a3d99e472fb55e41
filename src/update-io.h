#pragma once

// --io-fw: reboots the I/O board into BOOTSEL and copies the UF2 image onto
// its RPI-RP2 drive. Returns the exit status, 0 or -1.
int action_update_io();
