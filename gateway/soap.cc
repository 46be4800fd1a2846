#include "gateway/soap.h"

#include <cstdio>

#include "base/guard.h"
#include "gateway/xml_capture.h"
#include "net/http.h"

int soap_envelope(const std::string& service_type, const char* action, const std::string& arguments,
                  std::string* envelope) {
  return guard_allocation([&] {
    const std::string name = action;
    *envelope =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
        "<s:Body>\r\n"
        "<u:" +
        name + " xmlns:u=\"" + gateway_service_urn(service_type) + "\">\r\n" + arguments +
        "</u:" + name +
        ">\r\n"
        "</s:Body>\r\n"
        "</s:Envelope>\r\n";
    return 0;
  });
}

int soap_fault_code(const std::string& body) {
  XmlWatch watch{"errorCode"};
  if (xml_capture(body, &watch, 1) != 0 || !watch.delivered) return 0;
  return static_cast<int>(xml_number(xml_trim(watch.last_delivered)));
}

int soap_call(const GatewayHandle* gateway, const char* action, const std::string& envelope,
              std::string* body, int* status, int* fault_code) {
  return guard_allocation([&] {
    std::string host, path;
    int port = 80;
    int code = url_split(gateway->control_url.c_str(), &host, &path, &port);
    if (code != 0) return code;
    HttpPostRequest* request = nullptr;
    code = http_post_new(host.c_str(), path.c_str(), port, envelope.c_str(), &request);
    if (code != 0) return code;
    std::unique_ptr<HttpPostRequest, int (*)(HttpPostRequest*)> owned(request, http_post_free);

    char length[16];
    std::snprintf(length, sizeof(length), "%5d", static_cast<int>(envelope.size()));
    const std::string soap_action =
        "\"" + gateway_service_urn(gateway->service_type) + "#" + action + "\"";
    // Each header goes in front of the earlier ones: they leave in the reverse order.
    if ((code = http_post_add_header(request, "Content-Length", length)) != 0 ||
        (code = http_post_add_header(request, "CONTENT-TYPE", "text/xml ; charset=\"utf-8\"")) !=
            0 ||
        (code = http_post_add_header(request, "SOAPACTION", soap_action.c_str())) != 0) {
      return code;
    }
    request->keep_error_body = fault_code != nullptr;
    std::string received;
    code = http_post(request, &received, status);
    if (code == kHttpNotOk && fault_code != nullptr) *fault_code = soap_fault_code(received);
    if (code != 0) return code;
    body->swap(received);
    return 0;
  });
}
