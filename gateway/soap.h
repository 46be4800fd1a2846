// The SOAP action call that every request to the WAN connection service shares.
#ifndef PORTWRANGLER_GATEWAY_SOAP_H_
#define PORTWRANGLER_GATEWAY_SOAP_H_

#include <string>

#include "base/error.h"
#include "base/retry.h"
#include "gateway/handle.h"

/// A router's own words for a refusal: its UPnP errorCode (0 when it named none) and
/// errorDescription, as it sent them (cut to a bound; shown only once made printable).
struct RouterFault {
  int code = 0;
  std::string description;
};

/// What one action brought back.
struct SoapAnswer {
  int status = 0;                 // the HTTP status, 0 when no status line came
  int fault_code = 0;             // the UPnP errorCode of a refusal, 0 when it names none
  std::string fault_description;  // its errorDescription
  std::string body;               // the body of a 200
  bool whole = true;              // false: the connection ended short of the announced body
};

/// The SOAP 1.1 envelope of `action` for the service type around `arguments` (argument
/// XML, already escaped, each line ending in CR LF).
std::string soap_envelope(const std::string& service_type, const std::string& action,
                          const std::string& arguments);

/// kOk with the answer of `envelope` posted to the control URL; kHttpNotOk for a status
/// other than 200, or a 200 that carries a SOAP fault (with its status and, when
/// `read_fault` asks for it, the fault's code and description), or the failing step's
/// error.
Error soap_call(const GatewayHandle& gateway, const std::string& action,
                const std::string& envelope, bool read_fault, SoapAnswer* answer);

/// The one worker of every action: the envelope around `arguments`, the call made again
/// as the row `retry` of base/retry.h allows, and a trace line of each try. A 200 whose
/// body stays cut short and not XML fails with kHttpCutShort.
Error soap_action(const GatewayHandle& gateway, const std::string& action,
                  const std::string& arguments, bool read_fault, Retry retry, SoapAnswer* answer);

/// The UPnP errorCode of a SOAP fault body, or 0 when it carries none.
int soap_fault_code(const std::string& body);

/// The fault of a refused action, as a caller hands it up.
RouterFault soap_fault_of(const SoapAnswer& answer);

#endif  // PORTWRANGLER_GATEWAY_SOAP_H_
