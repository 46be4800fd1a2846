#include <windows.h>

#include <string>

#include "base/wide.h"
#include "portmap/store_platform.h"

namespace {

/// The variable `name` of the process's environment, UTF-8 ("" when unset).
std::string environment(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::string();
  std::wstring value(size, L'\0');
  const DWORD got = GetEnvironmentVariableW(name, &value[0], size);
  if (got == 0 || got >= size) return std::string();
  value.resize(got);
  return utf8_of(value.c_str());
}

}  // namespace

std::string sys_state_folder() {
  const std::string chosen = environment(L"PORTWRANGLER_STATE_DIR");
  if (!chosen.empty()) return chosen;
  const std::string local = environment(L"LOCALAPPDATA");
  if (local.empty()) return std::string();
  return local + "\\portwrangler";
}
