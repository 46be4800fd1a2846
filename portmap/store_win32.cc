#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "portmap/store_platform.h"

std::string sys_state_folder() {
  const char* local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || local[0] == '\0') return std::string();
  return std::string(local) + "\\portwrangler";
}

bool sys_make_folder(const std::string& folder) {
  for (size_t at = 3; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '\\' && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return true;
}

// The folder under the user's profile is the user's alone already.
bool sys_write_private(const std::string& path, const std::string& data) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << data;
  file.flush();
  return static_cast<bool>(file);
}

bool sys_replace(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
