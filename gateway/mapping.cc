#include "gateway/mapping.h"

#include "base/guard.h"
#include "base/text.h"
#include "gateway/soap.h"
#include "gateway/xml_capture.h"
#include "net/local_address.h"

namespace {

/// One action: envelope, call, and the body when `body` asks for it.
int run_action(const GatewayHandle* gateway, const char* action, const std::string& arguments,
               std::string* body, int* fault_code) {
  std::string envelope, received;
  int code = soap_envelope(gateway->service_type, action, arguments, &envelope);
  if (code != 0) return code;
  int status = 0;
  code = soap_call(gateway, action, envelope, &received, &status, fault_code);
  if (code == 0 && body != nullptr) body->swap(received);
  return code;
}

}  // namespace

std::string mapping_add_arguments(const char* client, uint16_t external_port,
                                  uint16_t internal_port, const char* protocol,
                                  const std::string& description) {
  return "<NewRemoteHost></NewRemoteHost>\r\n"
         "<NewExternalPort>" +
         std::to_string(external_port) +
         "</NewExternalPort>\r\n"
         "<NewProtocol>" +
         xml_escape(protocol) +
         "</NewProtocol>\r\n"
         "<NewInternalPort>" +
         std::to_string(internal_port) +
         "</NewInternalPort>\r\n"
         "<NewInternalClient>" +
         xml_escape(client) +
         "</NewInternalClient>\r\n"
         "<NewEnabled>1</NewEnabled>\r\n"
         "<NewPortMappingDescription>" +
         xml_escape(description) +
         "</NewPortMappingDescription>\r\n"
         "<NewLeaseDuration>0</NewLeaseDuration>\r\n";
}

int gateway_add_mapping(const GatewayHandle* gateway, const char* client, uint16_t external_port,
                        uint16_t internal_port, const char* protocol,
                        const std::string& description) {
  return guard_allocation([&] {
    std::string own_address;
    if (client == nullptr) {
      int code = gateway_local_address(gateway, &own_address);
      if (code != 0) return code;
      client = own_address.c_str();
    }
    int fault = 0;
    int code = run_action(
        gateway, "AddPortMapping",
        mapping_add_arguments(client, external_port, internal_port, protocol, description), nullptr,
        &fault);
    if (code != 0 && fault == kUpnpConflictInMappingEntry) return kGatewayMappingRefused;
    return code;
  });
}

int gateway_delete_mapping(const GatewayHandle* gateway, uint16_t external_port,
                           const char* protocol) {
  return guard_allocation([&] {
    const std::string arguments =
        "<NewRemoteHost></NewRemoteHost>\r\n"
        "<NewExternalPort>" +
        std::to_string(external_port) +
        "</NewExternalPort>\r\n"
        "<NewProtocol>" +
        xml_escape(protocol) + "</NewProtocol>\r\n";
    int fault = 0;
    int code = run_action(gateway, "DeletePortMapping", arguments, nullptr, &fault);
    if (code != 0 && fault == kUpnpNoSuchEntryInArray) return kGatewayMappingRefused;
    return code;
  });
}

int gateway_mapping_entry(const GatewayHandle* gateway, uint16_t index,
                          const MappingEntryFields& fields) {
  return guard_allocation([&] {
    std::string body;
    int code =
        run_action(gateway, "GetGenericPortMappingEntry",
                   "<NewPortMappingIndex>" + std::to_string(index) + "</NewPortMappingIndex>\r\n",
                   &body, nullptr);
    if (code != 0) return code;
    return gateway_parse_mapping_entry(body, fields);
  });
}

int gateway_parse_mapping_entry(const std::string& body, const MappingEntryFields& fields) {
  return guard_allocation([&] {
    // In the order their character data is tested.
    XmlWatch watches[] = {{"NewExternalPort"},   {"NewInternalPort"},           {"NewProtocol"},
                          {"NewInternalClient"}, {"NewPortMappingDescription"}, {"NewEnabled"}};
    int code = xml_capture(body, watches, 6);
    if (code != 0) return code;
    *fields.external_port = static_cast<uint16_t>(xml_number(xml_trim(watches[0].last)));
    *fields.internal_port = static_cast<uint16_t>(xml_number(xml_trim(watches[1].last)));
    if (watches[2].occurrences > 0) {
      text_copy_to_field(fields.protocol, fields.protocol_size, xml_trim(watches[2].last));
    }
    if (watches[3].occurrences > 0) {
      text_copy_to_field(fields.client, fields.client_size, xml_trim(watches[3].last));
    }
    if (watches[4].occurrences > 0) *fields.description = watches[4].last;
    *fields.enabled = static_cast<int32_t>(xml_number(xml_trim(watches[5].last)));
    return 0;
  });
}
