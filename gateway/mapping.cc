#include "gateway/mapping.h"

#include "base/guard.h"
#include "base/limits.h"
#include "base/text.h"
#include "gateway/local_address.h"
#include "gateway/soap.h"
#include "gateway/xml.h"
#include "gateway/xml_capture.h"

std::string mapping_add_arguments(const MappingRequest& request, const std::string& client) {
  return "<NewRemoteHost></NewRemoteHost>\r\n"
         "<NewExternalPort>" +
         std::to_string(request.external_port) +
         "</NewExternalPort>\r\n"
         "<NewProtocol>" +
         xml_escape(request.protocol) +
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

Error gateway_add_mapping(const GatewayHandle& gateway, const MappingRequest& request) {
  return guard_allocation([&] {
    std::string client = request.client;
    if (client.empty()) {
      Error error = gateway_local_address(gateway, &client);
      if (error != Error::kOk) return error;
    }
    SoapAnswer answer;
    Error error = soap_action(gateway, "AddPortMapping", mapping_add_arguments(request, client),
                              true, SoapTries::kChange, &answer);
    if (error != Error::kOk && answer.fault_code == kUpnpConflictInMappingEntry) {
      return Error::kGatewayMappingRefused;
    }
    if (error != Error::kOk && answer.fault_code == kUpnpOnlyPermanentLeasesSupported) {
      return Error::kGatewayOnlyPermanent;
    }
    return error;
  });
}

Error gateway_delete_mapping(const GatewayHandle& gateway, uint16_t external_port,
                             const std::string& protocol) {
  return guard_allocation([&] {
    const std::string arguments =
        "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>" + std::to_string(external_port) +
        "</NewExternalPort>\r\n<NewProtocol>" + xml_escape(protocol) + "</NewProtocol>\r\n";
    SoapAnswer answer;
    Error error =
        soap_action(gateway, "DeletePortMapping", arguments, true, SoapTries::kChange, &answer);
    if (error != Error::kOk && answer.fault_code == kUpnpNoSuchEntryInArray) {
      return Error::kGatewayMappingRefused;
    }
    return error;
  });
}

Error gateway_mapping_entry(const GatewayHandle& gateway, uint16_t index, MappingEntry* entry) {
  return guard_allocation([&] {
    SoapAnswer answer;
    Error error =
        soap_action(gateway, "GetGenericPortMappingEntry",
                    "<NewPortMappingIndex>" + std::to_string(index) + "</NewPortMappingIndex>\r\n",
                    false, SoapTries::kRead, &answer);
    if (error != Error::kOk) return error;
    return gateway_parse_mapping_entry(answer.body, entry);
  });
}

Error gateway_specific_entry(const GatewayHandle& gateway, uint16_t external_port,
                             const std::string& protocol, MappingEntry* entry) {
  return guard_allocation([&] {
    const std::string arguments =
        "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>" + std::to_string(external_port) +
        "</NewExternalPort>\r\n<NewProtocol>" + xml_escape(protocol) + "</NewProtocol>\r\n";
    SoapAnswer answer;
    Error error = soap_action(gateway, "GetSpecificPortMappingEntry", arguments, true,
                              SoapTries::kRead, &answer);
    if (error != Error::kOk && answer.fault_code == kUpnpNoSuchEntryInArray) {
      return Error::kGatewayMappingRefused;
    }
    if (error != Error::kOk) return error;
    MappingEntry read;
    error = gateway_parse_mapping_entry(answer.body, &read);
    if (error != Error::kOk) return error;
    // The answer names neither: they are the question's.
    read.external_port = external_port;
    read.protocol = text_cut(protocol, kProtocolTextMax);
    *entry = std::move(read);
    return Error::kOk;
  });
}

Error gateway_parse_mapping_entry(const std::string& body, MappingEntry* entry) {
  return guard_allocation([&] {
    // In the order their character data is tested.
    XmlWatch watches[] = {{"NewExternalPort"},   {"NewInternalPort"},           {"NewProtocol"},
                          {"NewInternalClient"}, {"NewPortMappingDescription"}, {"NewEnabled"},
                          {"NewRemoteHost"},     {"NewLeaseDuration"}};
    Error error = xml_capture(body, watches, sizeof(watches) / sizeof(watches[0]));
    if (error != Error::kOk) return error;
    MappingEntry read;
    read.external_port = static_cast<uint16_t>(xml_number(xml_trim(watches[0].last)));
    read.internal_port = static_cast<uint16_t>(xml_number(xml_trim(watches[1].last)));
    read.protocol = text_cut(xml_trim(watches[2].last), kProtocolTextMax);
    read.client = text_cut(xml_trim(watches[3].last), kAddressTextMax);
    read.description = watches[4].last;
    read.enabled = static_cast<int32_t>(xml_number(xml_trim(watches[5].last)));
    read.remote_host = text_cut(xml_trim(watches[6].last), kAddressTextMax);
    const long lease = xml_number(xml_trim(watches[7].last));
    read.lease_seconds = static_cast<uint32_t>(lease > 0 ? lease : 0);
    *entry = std::move(read);
    return Error::kOk;
  });
}
