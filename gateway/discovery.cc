// Discovery: the search, the description it points to, and the control URL in it.
#include "gateway/discovery.h"

#include "base/guard.h"
#include "base/limits.h"
#include "base/trace.h"
#include "gateway/description.h"
#include "net/http.h"
#include "net/ssdp.h"

namespace {

const char* const kServiceTypes[] = {"WANIPConnection:1", "WANPPPConnection:1"};

/// kOk with the first datagram that answers one M-SEARCH for `target`.
Error ssdp_query(const std::string& target, SsdpReply* reply) {
  Socket socket;
  Error error = udp_open(&socket);
  if (error != Error::kOk) return error;
  error = ssdp_send_search(socket.get(), target);
  trace("search %s sent on the default interface", target.c_str());
  if (error != Error::kOk) return error;
  return ssdp_receive_reply(socket.get(), kSsdpWaitSeconds * 1000, reply);
}

/// kOk with the first reply to either search, and `*service_type` the service answered.
Error ssdp_search(std::string* service_type, SsdpReply* reply) {
  Error error = Error::kOk;
  for (const char* type : kServiceTypes) {
    error = ssdp_query(gateway_service_urn(type), reply);
    if (error == Error::kOk) {
      *service_type = type;
      return Error::kOk;
    }
  }
  return error;
}

}  // namespace

Error fetch_description(const std::string& location, std::string* description) {
  return guard_allocation([&] {
    std::string host, path;
    int port = 80;
    Error error = url_split(location, &host, &path, &port);
    if (error != Error::kOk) return error;
    HttpResponse response;
    error = http_perform(http_get_request(host, path, port), false, &response);
    trace("description %s: status %d, %zu bytes", location.c_str(), response.status,
          response.body.size());
    if (error != Error::kOk) return error;
    description->swap(response.body);
    return Error::kOk;
  });
}

Error discover_gateway(GatewayHandle* gateway) {
  return guard_allocation([&] {
    GatewayHandle found;
    SsdpReply reply;
    Error error = ssdp_search(&found.service_type, &reply);
    if (error != Error::kOk) return error;
    std::string location, description;
    error = ssdp_location(reply.text, &location);
    trace("reply from %s: ST %s, LOCATION %s: %s", reply.sender.c_str(),
          ssdp_header(reply.text, "ST").c_str(), ssdp_header(reply.text, "LOCATION").c_str(),
          error == Error::kOk ? "taken" : error_name(error));
    if (error != Error::kOk) return error;
    error = fetch_description(location, &description);
    if (error != Error::kOk) return error;
    error = gateway_parse_description(&found, location, description);
    if (error != Error::kOk) return error;
    trace("control URL %s (%s)", found.control_url.c_str(), found.service_type.c_str());
    found.device_description.swap(description);
    *gateway = std::move(found);
    return Error::kOk;
  });
}
