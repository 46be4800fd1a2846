#include "front/hook.h"

#include "base/limits.h"

HookResult hook_run(const std::vector<std::string>& argv, const HookEnvironment& environment,
                    int timeout_ms, const std::function<void(const std::string&)>& line) {
  if (argv.empty()) {
    HookResult none;
    none.problem = "no command";
    return none;
  }
  std::string pending;
  const HookResult result =
      hook_platform_run(argv, environment, timeout_ms, [&](const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
          if (data[i] == '\n') {
            if (!pending.empty() && pending.back() == '\r') pending.pop_back();
            line(pending);
            pending.clear();
          } else if (pending.size() < kHookLineMax) {
            pending += data[i];
          }
        }
      });
  if (!pending.empty()) line(pending);
  return result;
}
