#include "gateway/soap.h"

#include <cstdio>

#include "base/clock.h"
#include "base/guard.h"
#include "base/limits.h"
#include "base/number.h"
#include "base/retry.h"
#include "base/text.h"
#include "base/trace.h"
#include "gateway/xml.h"
#include "gateway/xml_capture.h"
#include "net/http.h"

std::string soap_envelope(const std::string& service_type, const std::string& action,
                          const std::string& arguments) {
  std::string envelope =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
      "<s:Body>\r\n";
  envelope += "<u:" + action + " xmlns:u=\"" + gateway_service_urn(service_type) + "\">\r\n";
  envelope += arguments;
  envelope += "</u:" + action + ">\r\n";
  envelope += "</s:Body>\r\n</s:Envelope>\r\n";
  return envelope;
}

namespace {

/// Reads the code and description of a SOAP fault body into `answer`.
void take_fault(const std::string& body, SoapAnswer* answer) {
  XmlWatch watches[] = {"errorCode", "errorDescription"};
  if (xml_capture(body, watches, 2) != Error::kOk) return;
  uint64_t code = 0;
  if (watches[0].delivered && number_read(watches[0].last_delivered, INT32_MAX, &code)) {
    answer->fault_code = static_cast<int>(code);
  }
  answer->fault_description = text_cut(xml_trim(watches[1].last), kFaultDescriptionMax);
}

}  // namespace

int soap_fault_code(const std::string& body) {
  SoapAnswer answer;
  take_fault(body, &answer);
  return answer.fault_code;
}

RouterFault soap_fault_of(const SoapAnswer& answer) {
  return {answer.fault_code, answer.fault_code != 0 ? answer.fault_description : std::string()};
}

Error soap_call(const GatewayHandle& gateway, const std::string& action,
                const std::string& envelope, bool read_fault, SoapAnswer* answer) {
  return guard_allocation([&] {
    std::string host, path;
    int port = 80;
    Error error = url_split(gateway.control_url, &host, &path, &port);
    if (error != Error::kOk) return error;
    HttpRequest request = http_post_request(host, path, port, envelope);
    request.deadline = gateway.deadline;
    char length[16];
    std::snprintf(length, sizeof(length), "%5d", static_cast<int>(envelope.size()));
    request.headers = {
        {"SOAPACTION", "\"" + gateway_service_urn(gateway.service_type) + "#" + action + "\""},
        {"CONTENT-TYPE", "text/xml ; charset=\"utf-8\""},
        {"Content-Length", length},
    };
    HttpResponse response;
    error = http_perform(request, read_fault, &response);
    answer->status = response.status;
    if (error == Error::kHttpNotOk && read_fault) take_fault(response.body, answer);
    // A refusal some routers send with status 200: its fault is a refusal all the same.
    if (error == Error::kOk && read_fault &&
        response.body.find("errorCode>") != std::string::npos) {
      take_fault(response.body, answer);
      if (answer->fault_code != 0) return Error::kHttpNotOk;
    }
    if (error != Error::kOk) return error;
    answer->body.swap(response.body);
    answer->whole = response.whole;
    return Error::kOk;
  });
}

Error soap_action(const GatewayHandle& gateway, const std::string& action,
                  const std::string& arguments, bool read_fault, Retry retry, SoapAnswer* answer) {
  return guard_allocation([&] {
    const std::string envelope = soap_envelope(gateway.service_type, action, arguments);
    auto attempt = [&] {
      *answer = SoapAnswer();
      const long long start = clock_ms();
      Error error = soap_call(gateway, action, envelope, read_fault, answer);
      if (error == Error::kOk && !answer->whole) {
        error = short_body_error(false, xml_well_formed(answer->body));
      }
      const long long milliseconds = clock_ms() - start;
      trace("action %s: status %d, fault %d, %lld ms%s%s", action.c_str(), answer->status,
            answer->fault_code, milliseconds, error != Error::kOk ? ": " : "",
            error != Error::kOk ? error_name(error) : "");
      return error;
    };
    return with_retries(retry, attempt);
  });
}
