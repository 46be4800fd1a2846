// What a scripted router on loopback answers, for the tests of the actions and the walk:
// SOAP responses and the handle that points at the server.
#ifndef PORTWRANGLER_TESTS_SUPPORT_ROUTER_REPLIES_H_
#define PORTWRANGLER_TESTS_SUPPORT_ROUTER_REPLIES_H_

#include <string>

#include "gateway/handle.h"
#include "tests/support/loopback_server.h"

/// A WANIPConnection:1 router whose control URL is the server's /ctl.
inline GatewayHandle gateway_at(const LoopbackServer& server) {
  GatewayHandle gateway;
  gateway.service_type = "WANIPConnection:1";
  gateway.control_url = "http://127.0.0.1:" + std::to_string(server.port()) + "/ctl";
  return gateway;
}

/// The 200 answer to `action` with `inner` as the response's arguments.
inline std::string soap_response(const std::string& action, const std::string& inner) {
  return http_ok(
      "<?xml version=\"1.0\"?>\r\n<s:Envelope "
      "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
      "<s:Body><u:" +
      action + "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" + inner +
      "</u:" + action + "Response></s:Body></s:Envelope>");
}

/// The answer that reads out one entry of the table.
inline std::string entry_response(int external_port, const std::string& protocol,
                                  const std::string& remote_host = "") {
  return soap_response("GetGenericPortMappingEntry",
                       "<NewRemoteHost>" + remote_host + "</NewRemoteHost><NewExternalPort>" +
                           std::to_string(external_port) + "</NewExternalPort><NewProtocol>" +
                           protocol +
                           "</NewProtocol><NewInternalPort>80</NewInternalPort>"
                           "<NewInternalClient>10.0.0.2</NewInternalClient><NewEnabled>1"
                           "</NewEnabled><NewPortMappingDescription>d"
                           "</NewPortMappingDescription>");
}

/// A UPnP refusal: status 500 with a SOAP fault naming `code`.
inline std::string fault_response(int code) {
  const std::string fault =
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
      "<s:Fault><detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">"
      "<errorCode>" +
      std::to_string(code) +
      "</errorCode></UPnPError></detail>"
      "</s:Fault></s:Body></s:Envelope>";
  return "HTTP/1.1 500 Internal Server Error\r\nContent-Length: " + std::to_string(fault.size()) +
         "\r\n\r\n" + fault;
}

#endif  // PORTWRANGLER_TESTS_SUPPORT_ROUTER_REPLIES_H_
