#pragma once
// Following the board's port path in the file system with inotify (Linux).
// When the board leaves the bus its node goes (/dev/ttyACM0) and so do udev's
// links to it (/dev/serial/by-id/...); when it comes back the node is made
// again and udev renames fresh links into place. The watch covers the folder
// of the --port path and, when that path is a link, the folder of the node it
// leads to. udev removes /dev/serial/by-id once its last link is gone, so a
// missing folder is watched through its nearest existing parent until it is
// back.
#include <cstdint>

constexpr int PATH_WATCH_ROLES = 2; // the --port path itself, the node a link leads to

struct path_watch_role_t {
  int wd = -1;         // inotify watch, -1 when none
  char folder[1024]{}; // the folder watched: the wanted one, or its nearest existing parent
  char name[256]{};    // the entry of interest in it; "" while a parent stands in
};

struct path_watch_t {
  int fd = -1; // the inotify instance, non-blocking
  path_watch_role_t roles[PATH_WATCH_ROLES];
  char target[1024]{}; // where the link led when last seen, kept while the link is gone
};

enum : int32_t {
  PATH_EVENT_NONE = 0,
  PATH_EVENT_CHANGE = 1,  // something moved in a watched folder: look at the path again
  PATH_EVENT_ARRIVAL = 2, // the path may have come back: made, renamed into place, new permissions
};

// False when the system offers no inotify; the watcher then notices only
// hang-ups of the open port and never reopens it.
bool path_watch_open(path_watch_t *w);
void path_watch_close(path_watch_t *w);
// Places the watches for `path` as the file system stands now, and drops
// those no longer wanted. Never blocks.
void path_watch_arm(path_watch_t *w, const char *path);
// Reads every pending event without waiting: PATH_EVENT_* bits, NONE when
// there were none.
int32_t path_watch_take(path_watch_t *w);
