// The default gateways of the adapters that are up, from the IP Helper API.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "base/wide.h"
#include "portmap/route_platform.h"

bool sys_default_routes(std::vector<DefaultRoute>* routes, bool ipv6) {
  routes->clear();
  ULONG size = 16384;
  std::unique_ptr<unsigned char[]> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
    buffer.reset(new (std::nothrow) unsigned char[size]);
    if (!buffer) return false;
    result = GetAdaptersAddresses(
        ipv6 ? AF_INET6 : AF_INET,
        GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  if (result != NO_ERROR) return false;
  for (const IP_ADAPTER_ADDRESSES* at = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
       at != nullptr; at = at->Next) {
    if (at->OperStatus != IfOperStatusUp) continue;
    for (const IP_ADAPTER_GATEWAY_ADDRESS_LH* gateway = at->FirstGatewayAddress; gateway != nullptr;
         gateway = gateway->Next) {
      const sockaddr* address = gateway->Address.lpSockaddr;
      if (address != nullptr && ipv6 && address->sa_family == AF_INET6) {
        const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        char text[64];
        if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text)) == nullptr) continue;
        std::string shown = text;
        // A link-local next hop means something on its own link alone.
        if (IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) {
          shown += "%" + std::to_string(in6->sin6_scope_id);
        }
        routes->push_back({utf8_of(at->FriendlyName), shown, at->Ipv6Metric});
        continue;
      }
      if (address == nullptr || address->sa_family != AF_INET) continue;
      const unsigned char* b = reinterpret_cast<const unsigned char*>(
          &reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
      char text[16];
      std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
      routes->push_back({utf8_of(at->FriendlyName), text, at->Ipv4Metric});
    }
  }
  return true;
}
