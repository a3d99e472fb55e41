#include "board-text.h"
#include "console.h"
#include "functions.h"
#include "interrupt.h"
#include "options.h"
#include "ports.h"
#include "update-io.h"
#include "update-screen.h"

#include <cstdio>
#include <cstring>

int action_list_ports() {
  char *list = serial_find_ports();
  std::printf("Available serial ports:\n");
  bool any = false;
  for (const char *name = list; name && *name; name += std::strlen(name) + 1) {
    std::printf("  %s\n", safe_to_show(name).c_str());
    any = true;
  }
  if (!any)
    std::printf("  (none found)\n");
  string_list_free(list);
  return 0;
}

int main(int argc, char **argv) {
  console_claim_standard_streams();
  interrupt_install();
  console_init();
  if (!options_load(argc, argv))
    return -1;

  std::printf("orvup v%s\n", orvup_version);
  // The banner heads the run's log: an action's first message may go to
  // standard error, which a shared log would otherwise show before it.
  std::fflush(stdout);
  int status = 0;
  switch (options.action) {
  case ACTION_UPDATE_SCREEN:
    status = action_update_screen();
    break;
  case ACTION_UPDATE_IO:
    status = action_update_io();
    break;
  case ACTION_LIST_PORTS:
    status = action_list_ports();
    break;
  default:
    break;
  }
  // The port and any file on the drive are released by now.
  interrupt_cleanup_done();
  return status;
}
