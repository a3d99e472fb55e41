#pragma once

// --screen-fw: streams the screen board's image through the I/O board's
// update bridge. Returns the exit status, 0 or -1.
int action_update_screen();
