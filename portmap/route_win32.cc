// The default gateways of the adapters that are up, from the IP Helper API.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <cstdio>
#include <memory>
#include <new>

#include "base/wide.h"
#include "portmap/route_platform.h"

bool sys_default_routes(std::vector<DefaultRoute>* routes) {
  routes->clear();
  ULONG size = 16384;
  std::unique_ptr<unsigned char[]> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
    buffer.reset(new (std::nothrow) unsigned char[size]);
    if (!buffer) return false;
    result = GetAdaptersAddresses(
        AF_INET, GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  if (result != NO_ERROR) return false;
  for (const IP_ADAPTER_ADDRESSES* at = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
       at != nullptr; at = at->Next) {
    if (at->OperStatus != IfOperStatusUp) continue;
    for (const IP_ADAPTER_GATEWAY_ADDRESS_LH* gateway = at->FirstGatewayAddress; gateway != nullptr;
         gateway = gateway->Next) {
      const sockaddr* address = gateway->Address.lpSockaddr;
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
