#include "open-error.h"

#include "board-text.h"
#include "functions.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

namespace {

// Where the udev rule lives in the source tree; the .deb installs it.
constexpr const char *kUdevRule = "packaging/linux/60-orvup.rules";

std::string ports_sentence(const char *ports_present) {
  std::string list;
  for (const char *p = ports_present; p && *p; p += std::strlen(p) + 1)
    list += (list.empty() ? "" : ", ") + safe_to_show(p);
  if (list.empty())
    return "No serial port is present: is the I/O board plugged in?";
  return "Ports present: " + list + ".";
}

// The device's type and permission bits as `ls -l` shows them: crw-rw----.
// Linux's st_mode layout.
std::string mode_text(uint32_t mode) {
  char type = '?';
  switch (mode & 0170000) {
  case 0020000:
    type = 'c';
    break;
  case 0060000:
    type = 'b';
    break;
  case 0040000:
    type = 'd';
    break;
  case 0100000:
    type = '-';
    break;
  case 0120000:
    type = 'l';
    break;
  case 0010000:
    type = 'p';
    break;
  case 0140000:
    type = 's';
    break;
  default:
    break;
  }
  std::string out(1, type);
  const char *rwx = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit)
    out += (mode & (0400u >> bit)) ? rwx[bit] : '-';
  return out;
}

std::string permission_denied(const std::string &port, const open_facts_posix *f) {
  if (f->mode == 0 || f->group[0] == '\0')
    return "Permission denied on " + port +
           ". Join the port's group (ls -l shows it; usually: sudo usermod -aG dialout $USER) and log in again, "
           "or install the udev rule " +
           kUdevRule + ".";
  const std::string group = safe_to_show(f->group);
  return "Permission denied: " + port + " is " + mode_text(f->mode) + ", owner " + safe_to_show(f->owner) + ", group " +
         group + ". Join that group (sudo usermod -aG " + group +
         " $USER) and log in again, or install the udev rule " + kUdevRule + ".";
}

std::string busy(const std::string &port, const open_facts_posix *f) {
  if (f->holder_pid <= 0)
    return "Port busy: another program holds " + port + " (sudo fuser -v " + port +
           " names it). Close that program and try again.";
  const std::string holder = "Port busy: " + port + " is held by process " + std::to_string(f->holder_pid) + " (" +
                             safe_to_show(f->holder_command) + ").";
  if (std::strcmp(f->holder_command, "ModemManager") == 0)
    return holder + " ModemManager probes every new modem port for a few seconds after it appears; the udev rule " +
           kUdevRule + " keeps it away from the board. Without the rule, wait ten seconds and try again.";
  return holder + " Close that program and try again.";
}

void finish(const std::string &reason, char *dest, size_t dest_size) {
  const std::string line = "  " + reason + "\n";
  copy_cut(dest, static_cast<int>(dest_size), line.c_str());
}

} // namespace

void open_reason_posix(const char *port, const open_facts_posix *facts, char *dest, size_t dest_size) {
  const std::string name = safe_to_show(port);
  std::string reason;
  switch (facts->error) {
  case EACCES:
  case EPERM:
    reason = permission_denied(name, facts);
    break;
  case EBUSY:
  case EWOULDBLOCK: // our lock was refused: another orvup or a program that locks its ports
    reason = busy(name, facts);
    break;
  case ENOENT:
    reason = "No such port: " + name + " does not exist. " + ports_sentence(facts->ports_present);
    break;
  case ENODEV:
  case ENXIO:
    reason = "No such port: " + name + " has no device behind it. " + ports_sentence(facts->ports_present);
    break;
  case OPEN_ERROR_OWN_TERMINAL:
    reason =
        "Not the board's port: " + name + " is the terminal orvup runs in. " + ports_sentence(facts->ports_present);
    break;
  case ENOTTY:
  case EISDIR:
    reason = "Not a serial port: " + name + " is not a terminal device. " + ports_sentence(facts->ports_present);
    break;
  default:
    reason = "The system said: " + std::generic_category().message(facts->error) + " (errno " +
             std::to_string(facts->error) + ").";
    break;
  }
  finish(reason, dest, dest_size);
}

void open_reason_win32(const char *port, uint32_t error, const char *system_text, const char *ports_present, char *dest,
                       size_t dest_size) {
  const std::string name = safe_to_show(port);
  std::string reason;
  switch (error) {
  case 5: // ERROR_ACCESS_DENIED: a COM port is opened by one program at a time
    reason = "Port in use: another program has " + name +
             " open (a terminal program, another orvup, a vendor tool). Close it and try again.";
    break;
  case 2: // ERROR_FILE_NOT_FOUND
  case 3: // ERROR_PATH_NOT_FOUND
    reason = "No such port: " + name + " does not exist. " + ports_sentence(ports_present);
    break;
  default: {
    // FormatMessage ends its text with a line break.
    std::string text = system_text ? system_text : "";
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
      text.pop_back();
    reason = "Windows error " + std::to_string(error) + ": " +
             (text.empty() ? "(no text for it)" : safe_to_show(text.c_str()));
    break;
  }
  }
  finish(reason, dest, dest_size);
}
