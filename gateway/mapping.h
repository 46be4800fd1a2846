// The port-mapping actions: AddPortMapping, DeletePortMapping and
// GetGenericPortMappingEntry, which reads one entry of the table by its index.
#ifndef PORTWRANGLER_GATEWAY_MAPPING_H_
#define PORTWRANGLER_GATEWAY_MAPPING_H_

#include <cstdint>
#include <string>

#include "base/error.h"
#include "gateway/handle.h"

constexpr int kUpnpConflictInMappingEntry = 718;
constexpr int kUpnpNoSuchEntryInArray = 714;
constexpr int kUpnpOnlyPermanentLeasesSupported = 725;

/// An entry to add.
struct MappingRequest {
  std::string client;  // the internal client; empty: this host's address toward the router
  uint16_t external_port = 0;
  uint16_t internal_port = 0;
  std::string protocol;
  std::string description;
  uint32_t lease_seconds = 0;  // 0: permanent
};

/// One entry of the router's table, as its answer gives it. A text whose element the
/// answer lacks is empty; a number is 0.
struct MappingEntry {
  std::string remote_host;  // at most 31 bytes; empty: any remote host
  uint16_t external_port = 0;
  uint16_t internal_port = 0;
  std::string protocol;     // at most 4 bytes
  std::string client;       // at most 31 bytes
  std::string description;  // whole
  int32_t enabled = 0;
  uint32_t lease_seconds = 0;  // what is left of its lease; 0: permanent
};

/// The AddPortMapping argument XML; every text written escaped.
std::string mapping_add_arguments(const MappingRequest& request, const std::string& client);

/// kOk when the router accepted the entry (any 200 answer); kGatewayMappingRefused when
/// it refused it as a conflict (UPnP error 718), kGatewayOnlyPermanent when it refused a
/// lease (UPnP error 725), else the call's error.
Error gateway_add_mapping(const GatewayHandle& gateway, const MappingRequest& request);

/// kOk when the router removed the entry; kGatewayMappingRefused when it has no such
/// entry (UPnP error 714), else the call's error.
Error gateway_delete_mapping(const GatewayHandle& gateway, uint16_t external_port,
                             const std::string& protocol);

/// kOk with the entry at the 0-based `index`; kGatewayUnparsable for a malformed answer,
/// or the call's error (a router answers an index past the end with a refusal).
Error gateway_mapping_entry(const GatewayHandle& gateway, uint16_t index, MappingEntry* entry);

/// kOk with the entry of `protocol` and `external_port` (GetSpecificPortMappingEntry);
/// kGatewayMappingRefused when the router has none (UPnP error 714), else as
/// gateway_mapping_entry.
Error gateway_specific_entry(const GatewayHandle& gateway, uint16_t external_port,
                             const std::string& protocol, MappingEntry* entry);

/// The answer's part of gateway_mapping_entry, for the body of a response.
Error gateway_parse_mapping_entry(const std::string& body, MappingEntry* entry);

#endif  // PORTWRANGLER_GATEWAY_MAPPING_H_
