#include "functions.h"
#include "ports-sysfs.h"
#include "ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Everything here reads sysfs attributes, directory entries and link
// targets: none of it blocks, and none of it opens a port (opening a tty
// raises DTR, which resets some boards).

namespace {

// A serial-core port whose type says there is no UART behind it. A tty
// without a readable type (USB CDC, USB to serial adapters) is not one.
bool has_no_uart(const std::string &tty_dir) {
  const int fd = open((tty_dir + "/type").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char text[32];
  const ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  if (n <= 0)
    return false;
  text[n] = '\0';
  return ports_type_is_unknown(text);
}

// Whether the tty named `name` in sysfs is a port a user could pass to
// --port: it has a device behind it (virtual consoles, ptmx and the like
// have none), it is not an empty 8250 slot, and its node exists.
bool is_offered_port(const std::string &tty_root, const std::string &node, const char *name) {
  const std::string tty_dir = tty_root + "/" + name;
  struct stat st;
  if (stat((tty_dir + "/device").c_str(), &st) != 0)
    return false;
  if (has_no_uart(tty_dir))
    return false;
  // Containers often see the host's sysfs without its device nodes.
  return stat(node.c_str(), &st) == 0;
}

// Reduces any name of a port to the path of its device node. 0 when the
// path does not lead to a character device present now.
int resolve_port_node(const char *path, char *dest, int dest_size) {
  if (!path || !dest || dest_size < 1)
    return 0;
  char *node = realpath(path, nullptr);
  if (!node)
    return 0;
  struct stat st;
  const int found = stat(node, &st) == 0 && S_ISCHR(st.st_mode);
  if (found)
    copy_cut(dest, dest_size, node);
  std::free(node);
  return found;
}

} // namespace

char *ports_scan_sysfs(const char *tty_root, const char *dev_root) {
  char *list, *end;
  string_list_init(&list, &end);
  DIR *dir = opendir(tty_root);
  if (!dir)
    return list;
  std::vector<std::string> names;
  // readdir is safe on a stream that only this call reads.
  while (const dirent *entry = readdir(dir)) { // NOLINT(concurrency-mt-unsafe)
    if (entry->d_name[0] == '.')
      continue;
    char dev_name[NAME_MAX + 1];
    ports_dev_name(entry->d_name, dev_name, sizeof(dev_name));
    const std::string node = std::string(dev_root) + "/" + dev_name;
    if (is_offered_port(tty_root, node, entry->d_name))
      names.push_back(node);
  }
  closedir(dir);
  // Directory order is whatever the file system keeps; a technician looks
  // for ttyACM10 after ttyACM9.
  std::sort(names.begin(), names.end(),
            [](const std::string &a, const std::string &b) { return ports_natural_compare(a.c_str(), b.c_str()) < 0; });
  for (const std::string &node : names)
    string_list_add(&list, &end, node.c_str());
  return list;
}

char *serial_find_ports() { return ports_scan_sysfs(); }

int PortNameToDevicePathA(const char *port_name, char *dest, int dest_size) {
  return resolve_port_node(port_name, dest, dest_size);
}

int DevicePathToPortNameA(const char *device_path, char *dest, int dest_size) {
  return resolve_port_node(device_path, dest, dest_size);
}
