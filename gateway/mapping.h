// The port-mapping actions: AddPortMapping, DeletePortMapping and
// GetGenericPortMappingEntry, which reads one entry of the table by its index.
#ifndef PORTWRANGLER_GATEWAY_MAPPING_H_
#define PORTWRANGLER_GATEWAY_MAPPING_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "gateway/handle.h"

constexpr int kUpnpConflictInMappingEntry = 718;
constexpr int kUpnpNoSuchEntryInArray = 714;

/// The AddPortMapping argument XML; every text written escaped.
std::string mapping_add_arguments(const char* client, uint16_t external_port,
                                  uint16_t internal_port, const char* protocol,
                                  const std::string& description);

/// 0 when the router accepted the entry (any 200 answer); -694 when it refused it as
/// a conflict (UPnP error 718), else the call's code. Without `client` this host's
/// address toward the router is used.
int gateway_add_mapping(const GatewayHandle* gateway, const char* client, uint16_t external_port,
                        uint16_t internal_port, const char* protocol,
                        const std::string& description);

/// 0 when the router removed the entry; -694 when it has no such entry (UPnP error
/// 714), else the call's code.
int gateway_delete_mapping(const GatewayHandle* gateway, uint16_t external_port,
                           const char* protocol);

/// Where gateway_mapping_entry puts one entry. Texts whose element is missing from the
/// answer keep what they held; ports and enabled are 0 for a missing element.
struct MappingEntryFields {
  uint16_t* external_port;
  uint16_t* internal_port;
  char* protocol;
  size_t protocol_size;
  char* client;
  size_t client_size;
  std::string* description;  // received whole
  int32_t* enabled;
};

/// 0 with the entry at the 0-based `index`; -696 for a malformed answer, or the
/// call's code (a router answers an index past the end with an error).
int gateway_mapping_entry(const GatewayHandle* gateway, uint16_t index,
                          const MappingEntryFields& fields);

/// The answer's part of gateway_mapping_entry: 0 with the entry read from the body of a
/// GetGenericPortMappingEntry response into `fields`; -696, -499.
int gateway_parse_mapping_entry(const std::string& body, const MappingEntryFields& fields);

#endif  // PORTWRANGLER_GATEWAY_MAPPING_H_
