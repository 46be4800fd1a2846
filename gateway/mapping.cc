#include "gateway/mapping.h"

#include "base/guard.h"
#include "base/limits.h"
#include "base/number.h"
#include "base/protocol.h"
#include "base/text.h"
#include "gateway/description.h"
#include "gateway/local_address.h"
#include "gateway/soap.h"
#include "gateway/xml.h"
#include "gateway/xml_capture.h"

namespace {

/// An entry's answer read out; with `keyed`, one without its external port and protocol
/// is none.
Error parse_entry(const std::string& body, bool keyed, MappingEntry* entry) {
  return guard_allocation([&] {
    // In the order their character data is tested.
    XmlWatch watches[] = {{"NewExternalPort"},   {"NewInternalPort"},           {"NewProtocol"},
                          {"NewInternalClient"}, {"NewPortMappingDescription"}, {"NewEnabled"},
                          {"NewRemoteHost"},     {"NewLeaseDuration"}};
    // The description is a text another client stored, handed back as it was stored.
    Error error = xml_capture(xml_mend_text_of(body, "NewPortMappingDescription"), watches,
                              sizeof(watches) / sizeof(watches[0]));
    if (error != Error::kOk) return error;
    MappingEntry read;
    read.external_port_text = text_cut(xml_trim(watches[0].last), kAddressTextMax);
    read.internal_port_text = text_cut(xml_trim(watches[1].last), kAddressTextMax);
    read.protocol = text_cut(xml_trim(watches[2].last), kProtocolTextMax);
    // An entry is its external port and protocol: an answer without them is none.
    if (keyed && (read.external_port_text.empty() || read.protocol.empty())) {
      return Error::kGatewayNoEntry;
    }
    read.external_port = mapping_port(watches[0].last);
    read.internal_port = mapping_port(watches[1].last);
    read.client = text_cut(xml_trim(watches[3].last), kAddressTextMax);
    read.description = watches[4].last;
    read.enabled = mapping_enabled(watches[5].last);
    read.enabled_text = text_cut(xml_trim(watches[5].last), kAddressTextMax);
    read.remote_host = text_cut(xml_trim(watches[6].last), kAddressTextMax);
    // No lease text is none (permanent); one that is no number below 2^32 is unknown.
    uint64_t lease = 0;
    const std::string lease_text = xml_trim(watches[7].last);
    read.lease_known = lease_text.empty() || number_read(lease_text, UINT32_MAX, &lease);
    read.lease_seconds = read.lease_known ? static_cast<uint32_t>(lease) : 0;
    read.lease_text = text_cut(lease_text, kAddressTextMax);
    *entry = std::move(read);
    return Error::kOk;
  });
}

/// What a refused add means: a conflict (718), a lease the router does not take, or the
/// call's error as it is; the router's words in `*fault` where it is given.
Error add_refusal(Error error, const SoapAnswer& answer, const MappingRequest& request,
                  RouterFault* fault) {
  if (fault != nullptr) *fault = soap_fault_of(answer);
  if (error == Error::kOk) return error;
  if (answer.fault_code == kUpnpConflictInMappingEntry) return Error::kGatewayMappingRefused;
  // Some routers answer any lease with 402 (Invalid Args) rather than 725: a lease
  // refused so is one they do not take.
  if (answer.fault_code == kUpnpOnlyPermanentLeasesSupported ||
      (answer.fault_code == kUpnpInvalidArgs && request.lease_seconds != 0)) {
    return Error::kGatewayOnlyPermanent;
  }
  return error;
}

}  // namespace

std::string mapping_add_arguments(const MappingRequest& request, const std::string& client) {
  return "<NewRemoteHost></NewRemoteHost>\r\n"
         "<NewExternalPort>" +
         std::to_string(request.external_port) +
         "</NewExternalPort>\r\n"
         "<NewProtocol>" +
         xml_escape(protocol_on_wire(request.protocol)) +
         "</NewProtocol>\r\n"
         "<NewInternalPort>" +
         std::to_string(request.internal_port) +
         "</NewInternalPort>\r\n"
         "<NewInternalClient>" +
         xml_escape(client) +
         "</NewInternalClient>\r\n"
         "<NewEnabled>1</NewEnabled>\r\n"
         "<NewPortMappingDescription>" +
         xml_escape(request.description) +
         "</NewPortMappingDescription>\r\n"
         "<NewLeaseDuration>" +
         std::to_string(request.lease_seconds) + "</NewLeaseDuration>\r\n";
}

Error gateway_add_mapping(const GatewayHandle& gateway, const MappingRequest& request,
                          RouterFault* fault) {
  return guard_allocation([&] {
    std::string client = request.client;
    if (client.empty()) {
      Error error = gateway_local_address(gateway, &client);
      if (error != Error::kOk) return error;
    }
    SoapAnswer answer;
    const Error error =
        soap_action(gateway, "AddPortMapping", mapping_add_arguments(request, client), true,
                    Retry::kChange, &answer);
    return add_refusal(error, answer, request, fault);
  });
}

bool gateway_offers_any_port(const GatewayHandle& gateway) {
  if (gateway.service_type.compare(0, 16, "WANIPConnection:") != 0) return false;
  DescriptionSummary summary;
  if (gateway_description_summary(gateway.device_description, &summary) != Error::kOk) {
    return false;
  }
  const std::string wanted = gateway_service_urn("WANIPConnection:2");
  for (const std::string& type : summary.service_types) {
    if (service_urn_at_least(xml_trim(type), wanted)) return true;
  }
  return false;
}

Error gateway_add_any_mapping(const GatewayHandle& gateway, const MappingRequest& request,
                              uint16_t* granted, RouterFault* fault) {
  return guard_allocation([&] {
    if (!gateway_offers_any_port(gateway)) return Error::kGatewayNoAnyPort;
    std::string client = request.client;
    if (client.empty()) {
      Error error = gateway_local_address(gateway, &client);
      if (error != Error::kOk) return error;
    }
    // The action is version 2's: asked for under that service's name.
    GatewayHandle v2 = gateway;
    v2.service_type = "WANIPConnection:2";
    SoapAnswer answer;
    Error error = soap_action(v2, "AddAnyPortMapping", mapping_add_arguments(request, client), true,
                              Retry::kChange, &answer);
    if (error != Error::kOk && (answer.fault_code == kUpnpInvalidAction ||
                                answer.fault_code == kUpnpActionNotImplemented)) {
      return Error::kGatewayNoAnyPort;
    }
    error = add_refusal(error, answer, request, fault);
    if (error != Error::kOk) return error;
    return gateway_parse_reserved_port(answer.body, granted);
  });
}

Error gateway_parse_reserved_port(const std::string& body, uint16_t* granted) {
  return guard_allocation([&] {
    XmlWatch watch{"NewReservedPort"};
    const Error error = xml_capture(body, &watch, 1);
    if (error != Error::kOk) return error;
    // A port written alone: the texts of elements inside it run together are no port.
    *granted = watch.nested ? 0 : mapping_port(watch.last);
    return *granted != 0 ? Error::kOk : Error::kGatewayNoEntry;
  });
}

Error gateway_delete_mapping(const GatewayHandle& gateway, uint16_t external_port,
                             const std::string& protocol, RouterFault* fault) {
  return guard_allocation([&] {
    const std::string arguments = "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>" +
                                  std::to_string(external_port) +
                                  "</NewExternalPort>\r\n<NewProtocol>" +
                                  xml_escape(protocol_on_wire(protocol)) + "</NewProtocol>\r\n";
    SoapAnswer answer;
    Error error =
        soap_action(gateway, "DeletePortMapping", arguments, true, Retry::kChange, &answer);
    if (fault != nullptr) *fault = soap_fault_of(answer);
    if (error != Error::kOk && answer.fault_code == kUpnpNoSuchEntryInArray) {
      return Error::kGatewayMappingRefused;
    }
    return error;
  });
}

uint16_t mapping_port(const std::string& text) {
  uint64_t value = 0;
  return number_read(text, 65535, &value) ? static_cast<uint16_t>(value) : 0;
}

int32_t mapping_enabled(const std::string& text) {
  const std::string word = xml_trim(text);
  if (word.empty()) return 0;
  // A number of any length, signed or not: only its digits tell whether it is 0.
  const size_t digits = word[0] == '-' || word[0] == '+' ? 1 : 0;
  if (digits < word.size() && word.find_first_not_of("0123456789", digits) == std::string::npos) {
    return word.find_first_not_of("0", digits) != std::string::npos ? 1 : 0;
  }
  switch (truth_read(word)) {
    case Truth::kTrue:
      return 1;
    case Truth::kFalse:
      return 0;
    default:
      return -1;
  }
}

std::string mapping_client_shown(const MappingEntry& entry) {
  return entry.client.empty() ? "0.0.0.0" : entry.client;
}

bool mapping_past_end(int fault_code) {
  return fault_code == kUpnpSpecifiedArrayIndexInvalid || fault_code == kUpnpNoSuchEntryInArray ||
         fault_code == kUpnpInvalidArgs || fault_code == kUpnpArgumentValueOutOfRange;
}

Error gateway_mapping_entry(const GatewayHandle& gateway, uint16_t index, MappingEntry* entry) {
  return guard_allocation([&] {
    const std::string arguments =
        "<NewPortMappingIndex>" + std::to_string(index) + "</NewPortMappingIndex>\r\n";
    return with_retries(Retry::kTableRead, [&] {
      SoapAnswer answer;
      const Error error = soap_action(gateway, "GetGenericPortMappingEntry", arguments, true,
                                      Retry::kOnce, &answer);
      if (error == Error::kHttpNotOk && mapping_past_end(answer.fault_code)) {
        return Error::kGatewayPastEnd;
      }
      if (error != Error::kOk) return error;
      return gateway_parse_mapping_entry(answer.body, entry);
    });
  });
}

Error gateway_specific_entry(const GatewayHandle& gateway, uint16_t external_port,
                             const std::string& protocol, MappingEntry* entry) {
  return guard_allocation([&] {
    const std::string arguments = "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>" +
                                  std::to_string(external_port) +
                                  "</NewExternalPort>\r\n<NewProtocol>" +
                                  xml_escape(protocol_on_wire(protocol)) + "</NewProtocol>\r\n";
    SoapAnswer answer;
    Error error =
        soap_action(gateway, "GetSpecificPortMappingEntry", arguments, true, Retry::kRead, &answer);
    if (error != Error::kOk && answer.fault_code == kUpnpNoSuchEntryInArray) {
      return Error::kGatewayMappingRefused;
    }
    if (error != Error::kOk) return error;
    // The answer names neither the port nor the protocol: they are the question's.
    MappingEntry read;
    error = parse_entry(answer.body, false, &read);
    if (error != Error::kOk) return error;
    read.external_port = external_port;
    read.external_port_text = std::to_string(external_port);
    read.protocol = text_cut(protocol, kProtocolTextMax);
    *entry = std::move(read);
    return Error::kOk;
  });
}

Error gateway_parse_mapping_entry(const std::string& body, MappingEntry* entry) {
  return parse_entry(body, true, entry);
}
