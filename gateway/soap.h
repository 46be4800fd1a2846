// The SOAP action call that every request to the WAN connection service shares.
#ifndef PORTWRANGLER_GATEWAY_SOAP_H_
#define PORTWRANGLER_GATEWAY_SOAP_H_

#include <string>

#include "gateway/handle.h"

/// 0 with the SOAP 1.1 envelope of `action` for the service type around `arguments`
/// (argument XML, already escaped, each line ending in CR LF); -499.
int soap_envelope(const std::string& service_type, const char* action, const std::string& arguments,
                  std::string* envelope);

/// 0 with the response body of `envelope` posted to the control URL; otherwise the
/// failing code (-894 for a status other than 200), with `*status` holding the status
/// code whenever one was read. With `fault_code`, a refusal's body is read too and
/// `*fault_code` holds its UPnP errorCode (0 when it names none).
int soap_call(const GatewayHandle* gateway, const char* action, const std::string& envelope,
              std::string* body, int* status, int* fault_code);

/// The UPnP errorCode of a SOAP fault body, or 0 when it carries none.
int soap_fault_code(const std::string& body);

#endif  // PORTWRANGLER_GATEWAY_SOAP_H_
