#include "net/discovery.h"

#include <cctype>
#include <cstring>

#include "base/guard.h"
#include "gateway/description.h"
#include "net/http.h"
#include "net/socket.h"

namespace {

const char* const kServiceTypes[] = {"WANIPConnection:1", "WANPPPConnection:1"};

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

std::string ssdp_search_text(const std::string& target) {
  return "M-SEARCH * HTTP/1.1\r\nMX: 2\r\nHOST: 239.255.255.250:1900\r\n"
         "MAN: \"ssdp:discover\"\r\nST: " +
         target + "\r\n\r\n";
}

int ssdp_send_search(SocketHandle* socket, const std::string& target) {
  return guard_allocation([&] {
    std::string text = ssdp_search_text(target);
    size_t sent = 0;
    return udp_send_to(socket, kSsdpGroup, kSsdpPort, text.data(), text.size(), &sent);
  });
}

int ssdp_receive_reply(SocketHandle* socket, std::string* reply) {
  char buffer[kSsdpReplyMax + 1];
  size_t got = 0;
  int code = udp_receive(socket, buffer, kSsdpReplyMax, &got, kSsdpReplySeconds);
  if (code != kOk) return code;
  if (got == 0) return kSsdpNoReply;
  return guard_allocation([&] {
    reply->assign(buffer, got);
    return 0;
  });
}

int ssdp_query(const std::string& target, std::string* reply) {
  SocketHandle* socket = nullptr;
  int code = udp_open(&socket);
  if (code != kOk) return code;
  SocketOwner owned(socket);
  code = ssdp_send_search(socket, target);
  if (code == kOk) code = ssdp_receive_reply(socket, reply);
  return code;
}

int ssdp_search(GatewayHandle* gateway, std::string* reply) {
  return guard_allocation([&] {
    int code = 0;
    for (const char* type : kServiceTypes) {
      code = ssdp_query(gateway_service_urn(type), reply);
      if (code == 0) {
        gateway->service_type = type;
        return 0;
      }
    }
    return code;
  });
}

int ssdp_location(const std::string& reply, std::string* location) {
  return guard_allocation([&] {
    // A datagram may carry NUL bytes; only the text before the first one counts.
    std::string text(reply.c_str());
    std::string upper(text.size(), '\0');
    upper_copy(text.c_str(), &upper[0]);
    if (text.find("200 OK") == std::string::npos) return kSsdpNot200;
    size_t line = upper.find("\r\n");
    while (line != std::string::npos) {
      size_t start = line + 2;
      size_t end = upper.find("\r\n", start);
      if (end == std::string::npos) break;  // a line without its CR LF does not count
      if (upper.compare(start, 9, "LOCATION:") == 0) {
        size_t at = start + 9;
        while (at < end && is_blank(text[at])) ++at;
        size_t stop = at;
        while (stop < end && !is_blank(text[stop])) ++stop;
        // An empty value must not borrow the next line's text.
        if (stop == at) return kSsdpNoLocation;
        if (stop - at + 1 > kUrlTokenMax + 1) return kGatewayTooLong;
        location->assign(text, at, stop - at);
        return 0;
      }
      line = end;
    }
    return kSsdpNoLocation;
  });
}

int fetch_description(const std::string& location, std::string* description) {
  return guard_allocation([&] {
    std::string host, path;
    int port = 80;
    int code = url_split(location.c_str(), &host, &path, &port);
    if (code != 0) return code;
    HttpGetRequest* request = nullptr;
    code = http_get_new(host.c_str(), path.c_str(), port, &request);
    if (code != 0) return code;
    int status = 0;
    code = http_get(request, description, &status);
    http_get_free(request);
    return code;
  });
}

int discover_gateway(GatewayHandle** out) {
  GatewayHandle* gateway = new (std::nothrow) GatewayHandle;
  if (gateway == nullptr) return kNoMemory;
  int code = guard_allocation([&] {
    std::string reply, location, description;
    int step = ssdp_search(gateway, &reply);
    if (step == 0) step = ssdp_location(reply, &location);
    if (step == 0) step = fetch_description(location, &description);
    if (step == 0) step = gateway_parse_description(gateway, location, description);
    if (step == 0) gateway->device_description.swap(description);
    return step;
  });
  if (code != 0) {
    gateway_free(&gateway);
    return code;
  }
  *out = gateway;
  return 0;
}
