#include "net/local_address.h"

#include "base/guard.h"
#include "net/http.h"
#include "net/socket.h"

int gateway_local_address(const GatewayHandle* gateway, std::string* address) {
  return guard_allocation([&] {
    std::string host;
    int port = 80;
    int code = url_split(gateway->control_url.c_str(), &host, nullptr, &port);
    if (code != 0) return code;
    SocketHandle* socket = nullptr;
    code = tcp_connect(&socket, host.c_str(), port, kLocalAddressConnectSeconds);
    if (code != kOk) return code;
    SocketOwner owned(socket);
    return socket_local_address(socket, address);
  });
}
