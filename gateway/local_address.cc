#include "gateway/local_address.h"

#include "base/clock.h"
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
      const int left = deadline_left_ms(gateway.deadline, kLocalAddressConnectSeconds * 1000);
      if (left == 0) return Error::kSocketTimedOut;
      const Error tried = tcp_connect(&socket, host, port, left);
      // A connect cut short by the run's end failed by it, not by the router.
      if (tried == Error::kSocketConnectFailed && deadline_passed(gateway.deadline)) {
        return Error::kSocketTimedOut;
      }
      return tried;
    });
    if (error != Error::kOk) return error;
    return socket_local_address(socket.get(), address);
  });
}

Error gateway_pinhole_address(const GatewayHandle& gateway, std::string* address) {
  std::string local;
  const Error error = gateway_local_address(gateway, &local);
  if (error != Error::kOk) return error;
  return net_global_beside(local, address);
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
