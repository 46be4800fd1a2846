#include "gateway/local_address.h"

#include "base/guard.h"
#include "base/limits.h"
#include "base/retry.h"
#include "net/http.h"
#include "net/socket.h"

Error gateway_local_address(const GatewayHandle& gateway, std::string* address) {
  return guard_allocation([&] {
    std::string host;
    int port = 80;
    Error error = url_split(gateway.control_url, &host, nullptr, &port);
    if (error != Error::kOk) return error;
    Socket socket;
    error = with_retries(Retry::kLocalConnect, [&] {
      return tcp_connect(&socket, host, port, kLocalAddressConnectSeconds);
    });
    if (error != Error::kOk) return error;
    return socket_local_address(socket.get(), address);
  });
}

Error gateway_local_ipv4(const GatewayHandle& gateway, std::string* address) {
  std::string local;
  Error error = gateway_local_address(gateway, &local);
  if (error != Error::kOk) return error;
  if (!net_host_is_v6(local))
    return guard_allocation([&] {
      *address = local;
      return Error::kOk;
    });
  return net_ipv4_beside(local, address);
}
