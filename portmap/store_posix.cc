#include <unistd.h>

#include <cstdlib>

#include "portmap/store_platform.h"

std::string sys_state_folder() {
  const char* chosen = std::getenv("PORTWRANGLER_STATE_DIR");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  if (geteuid() == 0) return "/var/lib/portwrangler";
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/portwrangler";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return std::string();
  return std::string(home) + "/.local/state/portwrangler";
}
