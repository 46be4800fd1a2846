#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "portmap/store_platform.h"

std::string sys_state_folder() {
  if (geteuid() == 0) return "/var/lib/portwrangler";
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/portwrangler";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return std::string();
  return std::string(home) + "/.local/state/portwrangler";
}

bool sys_make_folder(const std::string& folder) {
  for (size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    // Parents the user's own; the last one the state's, private.
    if (mkdir(part.c_str(), at == folder.size() ? 0700 : 0755) != 0 && errno != EEXIST) {
      return false;
    }
  }
  return true;
}

bool sys_write_private(const std::string& path, const std::string& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = write(fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  const bool whole = done == data.size() && fsync(fd) == 0;
  return close(fd) == 0 && whole;
}

bool sys_replace(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}
