#include <fstream>
#include <sstream>

#include "portmap/route_platform.h"

bool sys_default_routes(std::vector<DefaultRoute>* routes) {
  std::ifstream file("/proc/net/route");
  if (!file) return false;
  std::ostringstream text;
  text << file.rdbuf();
  *routes = route_parse_proc(text.str());
  return true;
}
