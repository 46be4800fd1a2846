#include "gateway/firewall.h"

#include "base/guard.h"
#include "base/limits.h"
#include "base/text.h"
#include "gateway/mapping.h"
#include "gateway/soap.h"
#include "gateway/xml.h"
#include "gateway/xml_capture.h"

namespace {

/// One action of the firewall service; a refusal's UPnP error goes to `*fault`.
Error firewall_action(const GatewayHandle& gateway, const char* action,
                      const std::string& arguments, Retry retry, SoapAnswer* answer, int* fault) {
  *fault = 0;
  const Error error = soap_action(gateway, action, arguments, true, retry, answer);
  if (error == Error::kHttpNotOk) *fault = answer->fault_code;
  return error;
}

std::string id_argument(uint16_t id) {
  return "<UniqueID>" + std::to_string(id) + "</UniqueID>\r\n";
}

}  // namespace

Error firewall_parse_status(const std::string& body, FirewallStatus* status) {
  return guard_allocation([&] {
    XmlWatch watches[] = {{"FirewallEnabled"}, {"InboundPinholeAllowed"}};
    const Error error = xml_capture(body, watches, 2);
    if (error != Error::kOk) return error;
    if (watches[0].occurrences == 0 || watches[1].occurrences == 0) {
      return Error::kGatewayUnparsable;
    }
    status->enabled = truth_read(watches[0].last);
    status->inbound_allowed = truth_read(watches[1].last);
    status->enabled_text = text_cut(xml_trim(watches[0].last), kAddressTextMax);
    status->inbound_text = text_cut(xml_trim(watches[1].last), kAddressTextMax);
    return Error::kOk;
  });
}

Error pinhole_parse_id(const std::string& body, uint16_t* id, std::string* id_text) {
  return guard_allocation([&] {
    XmlWatch watch{"UniqueID"};
    const Error error = xml_capture(body, &watch, 1);
    if (error != Error::kOk) return error;
    // An ID is a 16-bit number, 0 included, written alone: the texts of elements inside
    // the ID run together would be another number.
    *id_text = text_cut(xml_trim(watch.last), kAddressTextMax);
    uint64_t value = 0;
    if (watch.nested || !number_read(watch.last, 65535, &value)) {
      return Error::kGatewayNoPinholeId;
    }
    *id = static_cast<uint16_t>(value);
    return Error::kOk;
  });
}

Error pinhole_parse_working(const std::string& body, PinholeCheck* check) {
  return guard_allocation([&] {
    XmlWatch watch{"IsWorking"};
    const Error error = xml_capture(body, &watch, 1);
    if (error != Error::kOk) return error;
    const Truth working = truth_read(watch.last);
    check->working_known = working != Truth::kUnknown;
    check->working = working == Truth::kTrue;
    if (!check->working_known)
      check->working_text = text_cut(xml_trim(watch.last), kAddressTextMax);
    return Error::kOk;
  });
}

Error pinhole_parse_packets(const std::string& body, PinholeCheck* check) {
  return guard_allocation([&] {
    XmlWatch watch{"PinholePackets"};
    const Error error = xml_capture(body, &watch, 1);
    if (error != Error::kOk) return error;
    // The texts of elements inside the count run together would be another number.
    check->packets_known = !watch.nested && number_read(watch.last, UINT64_MAX, &check->packets);
    if (!check->packets_known)
      check->packets_text = text_cut(xml_trim(watch.last), kAddressTextMax);
    return Error::kOk;
  });
}

Error firewall_status(const GatewayHandle& gateway, FirewallStatus* status, int* fault) {
  return guard_allocation([&] {
    SoapAnswer answer;
    const Error error =
        firewall_action(gateway, "GetFirewallStatus", "", Retry::kRead, &answer, fault);
    if (error != Error::kOk) return error;
    return firewall_parse_status(answer.body, status);
  });
}

Error pinhole_add(const GatewayHandle& gateway, const PinholeRequest& request, uint16_t* id,
                  std::string* id_text, int* fault) {
  return guard_allocation([&] {
    // Any remote host and port: an empty host and port 0 are the service's wildcards.
    const std::string arguments =
        "<RemoteHost></RemoteHost>\r\n<RemotePort>0</RemotePort>\r\n<InternalClient>" +
        xml_escape(request.client) + "</InternalClient>\r\n<InternalPort>" +
        std::to_string(request.port) + "</InternalPort>\r\n<Protocol>" +
        std::to_string(request.protocol) + "</Protocol>\r\n<LeaseTime>" +
        std::to_string(request.lease_seconds) + "</LeaseTime>\r\n";
    SoapAnswer answer;
    const Error error =
        firewall_action(gateway, "AddPinhole", arguments, Retry::kChange, &answer, fault);
    if (error != Error::kOk) return error;
    return pinhole_parse_id(answer.body, id, id_text);
  });
}

Error pinhole_update(const GatewayHandle& gateway, uint16_t id, uint32_t lease_seconds,
                     int* fault) {
  return guard_allocation([&] {
    SoapAnswer answer;
    return firewall_action(
        gateway, "UpdatePinhole",
        id_argument(id) + "<NewLeaseTime>" + std::to_string(lease_seconds) + "</NewLeaseTime>\r\n",
        Retry::kChange, &answer, fault);
  });
}

Error pinhole_delete(const GatewayHandle& gateway, uint16_t id, int* fault) {
  return guard_allocation([&] {
    SoapAnswer answer;
    return firewall_action(gateway, "DeletePinhole", id_argument(id), Retry::kChange, &answer,
                           fault);
  });
}

namespace {

/// Whether a failed check's answer means the router cannot or will not tell: no traffic
/// seen (709), or no such action or a refusal of the check itself (401, 602, and 403, as a
/// FRITZ!Box answers) rather than of the pinhole.
bool check_untold(Error error, int fault) {
  return error == Error::kHttpNotOk &&
         (fault == kUpnpNoTrafficReceived || fault == 401 || fault == 403 || fault == 602);
}

/// The router's error for a check it would not make; 0 for "no traffic seen", which tells
/// nothing of the router.
int refused_by(int fault) {
  return fault == kUpnpNoTrafficReceived ? 0 : fault;
}

}  // namespace

Error pinhole_check(const GatewayHandle& gateway, uint16_t id, PinholeCheck* check, int* fault) {
  return guard_allocation([&] {
    *check = PinholeCheck();
    SoapAnswer answer;
    Error error = firewall_action(gateway, "CheckPinholeWorking", id_argument(id), Retry::kRead,
                                  &answer, fault);
    // No traffic seen, or no such action (401): the router cannot tell; anything else is a
    // refusal of the pinhole itself.
    if (error == Error::kOk) {
      error = pinhole_parse_working(answer.body, check);
      if (error != Error::kOk) return error;
    } else if (check_untold(error, *fault)) {
      check->working_fault = refused_by(*fault);
    } else {
      return error;
    }
    error = firewall_action(gateway, "GetPinholePackets", id_argument(id), Retry::kRead, &answer,
                            fault);
    if (error == Error::kOk) {
      error = pinhole_parse_packets(answer.body, check);
      if (error != Error::kOk) return error;
    } else if (check_untold(error, *fault)) {
      check->packets_fault = refused_by(*fault);
    } else {
      return error;
    }
    *fault = 0;
    return Error::kOk;
  });
}

bool pinhole_gone(Error error, int fault) {
  return error == Error::kHttpNotOk && (fault == kUpnpNoSuchPinhole || fault == kUpnpInvalidArgs);
}
