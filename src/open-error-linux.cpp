// Gathers what Linux can tell about a port that would not open: the
// device's owner, group and mode, the process holding it (through /proc),
// the ports present.
#include "open-error.h"

#include "functions.h"
#include "ports.h"
#include "serial-posix.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The first process other than this one with the device open, found by the
// device number behind each of its descriptors. Only processes whose /proc
// entries we may read are seen: as a plain user, not ModemManager (root),
// so the message then names no holder.
void find_holder(dev_t device, open_facts_posix *f) {
  DIR *proc = opendir("/proc");
  if (!proc)
    return;
  const long self = static_cast<long>(getpid());
  // readdir is safe on a stream that only this call reads.
  while (dirent *e = readdir(proc)) { // NOLINT(concurrency-mt-unsafe)
    char *end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == self)
      continue;
    const std::string fd_dir = std::string("/proc/") + e->d_name + "/fd";
    DIR *fds = opendir(fd_dir.c_str());
    if (!fds)
      continue;
    bool holds = false;
    while (dirent *d = readdir(fds)) { // NOLINT(concurrency-mt-unsafe)
      struct stat st {};
      if (d->d_name[0] != '.' && stat((fd_dir + "/" + d->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
          st.st_rdev == device) {
        holds = true;
        break;
      }
    }
    closedir(fds);
    if (!holds)
      continue;
    f->holder_pid = pid;
    if (FILE *comm = std::fopen((std::string("/proc/") + e->d_name + "/comm").c_str(), "r")) {
      if (std::fgets(f->holder_command, sizeof(f->holder_command), comm))
        f->holder_command[std::strcspn(f->holder_command, "\n")] = '\0';
      (void)std::fclose(comm); // read only: a failed close loses nothing
    }
    break;
  }
  closedir(proc);
}

} // namespace

void serial_explain_open_failure(const serial_t *s, const char *port_name) {
  open_facts_posix facts;
  facts.error = static_cast<int>(serial_os_shared(s->transport)->open_error);
  struct stat st {};
  if (stat(port_name, &st) == 0) {
    facts.mode = st.st_mode;
    // The watcher of another link may run: the reentrant look-ups. A name
    // that cannot be found is shown as its number.
    char names[4096];
    passwd pw{};
    passwd *pw_found = nullptr;
    if (getpwuid_r(st.st_uid, &pw, names, sizeof(names), &pw_found) == 0 && pw_found)
      copy_cut(facts.owner, sizeof(facts.owner), pw.pw_name);
    else
      copy_cut(facts.owner, sizeof(facts.owner), std::to_string(st.st_uid).c_str());
    group gr{};
    group *gr_found = nullptr;
    if (getgrgid_r(st.st_gid, &gr, names, sizeof(names), &gr_found) == 0 && gr_found)
      copy_cut(facts.group, sizeof(facts.group), gr.gr_name);
    else
      copy_cut(facts.group, sizeof(facts.group), std::to_string(st.st_gid).c_str());
    if ((facts.error == EBUSY || facts.error == EWOULDBLOCK) && S_ISCHR(st.st_mode))
      find_holder(st.st_rdev, &facts);
  }
  char *ports = serial_find_ports();
  facts.ports_present = ports;
  char line[OPEN_REASON_SIZE];
  open_reason_posix(port_name, &facts, line, sizeof(line));
  string_list_free(ports);
  std::fputs(line, stderr);
}
