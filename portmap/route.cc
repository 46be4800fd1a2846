#include "portmap/route.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "base/trace.h"
#include "net/socket.h"
#include "portmap/route_platform.h"
#include "portmap/wire.h"

namespace {

constexpr unsigned kRouteUp = 0x1;       // RTF_UP
constexpr unsigned kRouteGateway = 0x2;  // RTF_GATEWAY

}  // namespace

bool route_host_little_endian() {
  const uint16_t one = 1;
  uint8_t first = 0;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

std::vector<DefaultRoute> route_parse_proc(const std::string& text, bool little_endian) {
  std::vector<DefaultRoute> routes;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, flags, refs, use, metric;
    if (!(fields >> name >> destination >> gateway >> flags >> refs >> use >> metric)) continue;
    unsigned long flag_bits = 0;
    unsigned long next_hop = 0;
    try {
      if (std::stoul(destination, nullptr, 16) != 0) continue;
      flag_bits = std::stoul(flags, nullptr, 16);
      next_hop = std::stoul(gateway, nullptr, 16);
      if ((flag_bits & kRouteUp) == 0 || (flag_bits & kRouteGateway) == 0 || next_hop == 0) {
        continue;
      }
      // The kernel prints the address's four bytes, in network order in memory, as one
      // number of the machine's order: the first byte is the low one on a little-endian
      // machine, the high one on a big-endian one.
      unsigned long byte[4];
      for (int i = 0; i < 4; ++i) {
        byte[i] = (next_hop >> (little_endian ? 8 * i : 24 - 8 * i)) & 0xff;
      }
      char dotted[16];
      std::snprintf(dotted, sizeof(dotted), "%lu.%lu.%lu.%lu", byte[0], byte[1], byte[2], byte[3]);
      routes.push_back({name, dotted, static_cast<unsigned>(std::stoul(metric))});
    } catch (const std::exception&) {
      continue;  // not numbers: not a line of the table
    }
  }
  return routes;
}

std::vector<DefaultRoute> route_parse_proc6(const std::string& text) {
  std::vector<DefaultRoute> routes;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string destination, length, source, source_length, next_hop, metric, refs, use, flags,
        name;
    if (!(fields >> destination >> length >> source >> source_length >> next_hop >> metric >>
          refs >> use >> flags >> name)) {
      continue;
    }
    if (destination != std::string(32, '0') || length != "00" || next_hop.size() != 32 ||
        next_hop == std::string(32, '0')) {
      continue;
    }
    try {
      const unsigned long flag_bits = std::stoul(flags, nullptr, 16);
      if ((flag_bits & kRouteUp) == 0 || (flag_bits & kRouteGateway) == 0) continue;
      uint8_t bytes[16];
      for (int i = 0; i < 16; ++i) {
        bytes[i] = static_cast<uint8_t>(std::stoul(next_hop.substr(i * 2, 2), nullptr, 16));
      }
      routes.push_back(
          {name, net_address_text(bytes), static_cast<unsigned>(std::stoul(metric, nullptr, 16))});
    } catch (const std::exception&) {
      continue;  // not numbers: not a line of the table
    }
  }
  return routes;
}

const DefaultRoute* route_choose(const std::vector<DefaultRoute>& routes,
                                 const std::string& interface_name) {
  const DefaultRoute* best = nullptr;
  for (const DefaultRoute& route : routes) {
    if (!interface_name.empty() && route.interface_name != interface_name) continue;
    if (best == nullptr || route.metric < best->metric) best = &route;
  }
  return best;
}

bool route_default_gateway_found(const std::string& interface_name, std::string* gateway) {
  return route_default_gateway(interface_name, gateway) == Error::kOk;
}

Error route_default_gateway(const std::string& interface_name, std::string* gateway, bool ipv6) {
  std::vector<DefaultRoute> routes;
  if (!sys_default_routes(&routes, ipv6)) return Error::kRouteNoGateway;
  const DefaultRoute* route = route_choose(routes, interface_name);
  if (route == nullptr) return Error::kRouteNoGateway;
  trace("route: the default gateway is %s (%s)", route->gateway.c_str(),
        route->interface_name.c_str());
  *gateway = route->gateway;
  return Error::kOk;
}

Error route_source_address(const std::string& gateway, std::string* source) {
  return udp_source_toward(gateway, kPortmapServerPort, source);
}

Error route_host_address(const std::string& gateway, std::string* address, bool* bound) {
  std::string toward;
  Error error = route_source_address(gateway, &toward);
  if (error != Error::kOk) return error;
  // The source comes without its zone: a link-local gateway's is the source's too.
  const size_t zone = gateway.find('%');
  error = net_global_beside(zone == std::string::npos ? toward : toward + gateway.substr(zone),
                            address);
  if (error != Error::kOk) return error;
  *bound = *address != toward;
  if (*bound) {
    trace("route: %s is link-local: the mapping names %s, sent from it", toward.c_str(),
          address->c_str());
  }
  return Error::kOk;
}
