#pragma once
#include <cstdint>

enum : int32_t {
  ACTION_NONE = 0,
  ACTION_UPDATE_SCREEN = 1,
  ACTION_UPDATE_IO = 2,
  ACTION_LIST_PORTS = 3,
};

// The parsed command line. Written once by options_load before any other
// thread exists, read-only afterwards.
struct options_t {
  int32_t action;
  char screen_fw[1024];
  char io_fw[1024];
  char port[1024]; // at most PORT_NAME_MAX_CHARS (ports.h) characters
  bool no_status;
};

extern options_t options;

extern const char cli_usage[];
extern const char cli_help[];
extern const char orvup_version[];

// True when options.action holds an action to run; false when the run is
// over (help, version or a usage error has been printed).
bool options_load(int argc, char **argv);
