#include <net/if.h>

#include <string>

#include "base/file.h"
#include "base/limits.h"
#include "net/socket.h"
#include "portmap/route_platform.h"

bool sys_default_routes(std::vector<DefaultRoute>* routes, bool ipv6) {
  std::string text;
  std::string problem;
  if (file_read(ipv6 ? "/proc/net/ipv6_route" : "/proc/net/route", kRouteTableBytesMax, &text,
                &problem) != FileRead::kOk) {
    return false;
  }
  if (!ipv6) {
    *routes = route_parse_proc(text);
    return true;
  }
  *routes = route_parse_proc6(text);
  // A link-local next hop means something on its own link alone.
  for (DefaultRoute& route : *routes) {
    const unsigned index = if_nametoindex(route.interface_name.c_str());
    if (net_address_link_local(route.gateway) && index != 0) {
      route.gateway += "%" + std::to_string(index);
    }
  }
  return true;
}
