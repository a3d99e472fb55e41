// The port path's watch over inotify. Nothing here blocks: the instance is
// non-blocking and only stat, realpath and the inotify calls are made.
#include "pathwatch-linux.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kWatchMask =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

void copy_cut(char *dest, size_t dest_size, const std::string &src) {
  const size_t n = src.size() < dest_size - 1 ? src.size() : dest_size - 1;
  std::memcpy(dest, src.data(), n);
  dest[n] = '\0';
}

void split(const std::string &path, std::string *folder, std::string *name) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    *folder = ".";
    *name = path;
  } else {
    *folder = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

bool is_folder(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder that holds `path` and the entry's name in it; while that folder
// is missing, its nearest existing parent with no name (any event there may
// be the folder coming back).
void wanted_folder(const std::string &path, std::string *folder, std::string *name) {
  split(path, folder, name);
  while (!is_folder(*folder) && *folder != "/" && *folder != ".") {
    std::string up;
    split(*folder, &up, name);
    *folder = up;
    name->clear();
  }
}

void place(path_watch_t *w, int role, const std::string &path) {
  path_watch_role_t &r = w->roles[role];
  if (path.empty()) {
    r.wd = -1;
    r.folder[0] = r.name[0] = '\0';
    return;
  }
  std::string folder, name;
  wanted_folder(path, &folder, &name);
  copy_cut(r.folder, sizeof r.folder, folder);
  copy_cut(r.name, sizeof r.name, name);
  // Watching the same folder again gives the same number; a folder that was
  // removed and made again gets a new one.
  r.wd = inotify_add_watch(w->fd, r.folder, kWatchMask);
}

bool in_use(const path_watch_t *w, int wd) {
  for (const path_watch_role_t &r : w->roles)
    if (r.wd == wd)
      return true;
  return false;
}

int32_t classify(const path_watch_t *w, const inotify_event *ev) {
  if (ev->mask & IN_Q_OVERFLOW)
    return PATH_EVENT_CHANGE | PATH_EVENT_ARRIVAL; // events were lost: anything may have happened
  int32_t flags = PATH_EVENT_CHANGE;
  for (const path_watch_role_t &r : w->roles) {
    if (r.wd < 0 || r.wd != ev->wd)
      continue;
    // A parent standing in (no name): the folder may be back with the path
    // in it. Otherwise the name itself was made, moved in or changed.
    const bool stand_in = r.name[0] == '\0';
    const bool named = ev->len > 0 && std::strcmp(ev->name, r.name) == 0;
    if (stand_in || (named && (ev->mask & (IN_CREATE | IN_MOVED_TO | IN_ATTRIB))))
      flags |= PATH_EVENT_ARRIVAL;
  }
  return flags;
}

} // namespace

bool path_watch_open(path_watch_t *w) {
  *w = path_watch_t{};
  w->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  return w->fd >= 0;
}

void path_watch_close(path_watch_t *w) {
  if (w->fd >= 0)
    close(w->fd); // drops every watch with it
  *w = path_watch_t{};
}

void path_watch_arm(path_watch_t *w, const char *path) {
  if (w->fd < 0)
    return;
  int old[PATH_WATCH_ROLES];
  for (int i = 0; i < PATH_WATCH_ROLES; ++i)
    old[i] = w->roles[i].wd;
  // The node behind a link; while the link is gone, where it led last, as
  // the board's node comes back there first.
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char *target = realpath(path, nullptr)) {
      copy_cut(w->target, sizeof w->target, target);
      std::free(target);
    }
  }
  place(w, 0, path);
  place(w, 1, w->target);
  for (int wd : old)
    if (wd >= 0 && !in_use(w, wd))
      inotify_rm_watch(w->fd, wd); // fails harmlessly for a folder already gone
}

int32_t path_watch_take(path_watch_t *w) {
  if (w->fd < 0)
    return PATH_EVENT_NONE;
  int32_t flags = PATH_EVENT_NONE;
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = read(w->fd, buf, sizeof buf);
    if (n <= 0)
      return flags;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto *ev = reinterpret_cast<const inotify_event *>(buf + at);
      flags |= classify(w, ev);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
}
