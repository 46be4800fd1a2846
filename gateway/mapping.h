// The port-mapping actions: AddPortMapping, DeletePortMapping and
// GetGenericPortMappingEntry, which reads one entry of the table by its index.
#ifndef PORTWRANGLER_GATEWAY_MAPPING_H_
#define PORTWRANGLER_GATEWAY_MAPPING_H_

#include <cstdint>
#include <string>

#include "base/error.h"
#include "gateway/handle.h"
#include "gateway/soap.h"

constexpr int kUpnpInvalidAction = 401;
constexpr int kUpnpInvalidArgs = 402;
constexpr int kUpnpActionNotImplemented = 602;
constexpr int kUpnpArgumentValueOutOfRange = 601;
constexpr int kUpnpSpecifiedArrayIndexInvalid = 713;
constexpr int kUpnpNoSuchEntryInArray = 714;
constexpr int kUpnpConflictInMappingEntry = 718;
constexpr int kUpnpOnlyPermanentLeasesSupported = 725;

/// An entry to add.
struct MappingRequest {
  std::string client;  // the internal client; empty: this host's address toward the router
  uint16_t external_port = 0;
  uint16_t internal_port = 0;
  std::string protocol;
  std::string description;
  uint32_t lease_seconds = 0;  // 0: permanent
  // The router chooses the external port (AddAnyPortMapping); external_port is the wish.
  bool any_port = false;
};

/// One entry of the router's table, as its answer gives it. A text whose element the
/// answer lacks is empty; a number is 0.
struct MappingEntry {
  std::string remote_host;     // at most 31 bytes; empty: any remote host
  uint16_t external_port = 0;  // 0 when the router's text is no port (1 to 65535)
  uint16_t internal_port = 0;
  std::string external_port_text;  // the router's text of each port, at most 31 bytes
  std::string internal_port_text;
  std::string protocol;        // at most 4 bytes
  std::string client;          // at most 31 bytes
  std::string description;     // whole
  int32_t enabled = 0;         // as mapping_enabled reads the router's text
  std::string enabled_text;    // that text, at most 31 bytes
  uint32_t lease_seconds = 0;  // what is left of its lease; 0: permanent
  bool lease_known = true;     // false: the router's text is no number below 2^32 ...
  std::string lease_text;      // ... and this is that text, at most 31 bytes
};

/// The port a router's text names: a decimal number from 1 to 65535 (white space
/// around it allowed), or 0 when it names none.
uint16_t mapping_port(const std::string& text);

/// Whether an entry is enabled: a number other than 0 is (as routers have long written
/// it), 0 is not; the words are read as UPnP booleans (true, yes / false, no). 1 or 0;
/// -1 for any other text (unknown); 0 for none at all.
int32_t mapping_enabled(const std::string& text);

/// The internal client an entry is listed, searched and shown with: 0.0.0.0 where the
/// router named none.
std::string mapping_client_shown(const MappingEntry& entry);

/// Whether a refusal of GetGenericPortMappingEntry with the UPnP error `fault_code` says
/// the index is past the end of the table: 713 (SpecifiedArrayIndexInvalid), 714
/// (NoSuchEntryInArray), and 402 (Invalid Args) and 601 (Argument Value Out of Range),
/// which routers answer for an index past the end, the only argument.
bool mapping_past_end(int fault_code);

/// The AddPortMapping argument XML; every text written escaped.
std::string mapping_add_arguments(const MappingRequest& request, const std::string& client);

/// kOk when the router accepted the entry (any 200 answer); kGatewayMappingRefused when
/// it refused it as a conflict (UPnP error 718), kGatewayOnlyPermanent when it refused a
/// lease (UPnP error 725, or 402 to an add with a lease), else the call's error. The
/// router's own words for a refusal go to `*fault` where it is given.
Error gateway_add_mapping(const GatewayHandle& gateway, const MappingRequest& request,
                          RouterFault* fault = nullptr);

/// Whether the router's description offers WANIPConnection version 2 or later, whose
/// AddAnyPortMapping lets it choose the external port.
bool gateway_offers_any_port(const GatewayHandle& gateway);

/// AddAnyPortMapping: kOk with the external port the router reserved in `*granted`;
/// kGatewayNoAnyPort when the router offers no such action (a version 1 service, or
/// UPnP error 401 or 602), else as gateway_add_mapping.
Error gateway_add_any_mapping(const GatewayHandle& gateway, const MappingRequest& request,
                              uint16_t* granted, RouterFault* fault = nullptr);

/// The port an AddAnyPortMapping answer's body reserved (NewReservedPort): kOk with it in
/// `*granted`, kGatewayNoEntry when it names none (0 or no port), kGatewayUnparsable.
Error gateway_parse_reserved_port(const std::string& body, uint16_t* granted);

/// kOk when the router removed the entry; kGatewayMappingRefused when it has no such
/// entry (UPnP error 714), else the call's error.
Error gateway_delete_mapping(const GatewayHandle& gateway, uint16_t external_port,
                             const std::string& protocol, RouterFault* fault = nullptr);

/// kOk with the entry at the 0-based `index`; kGatewayPastEnd when the router says the
/// index is past the end of its table (mapping_past_end). Any other failure is made
/// again as the table-read row of base/retry.h says, then returned: a refusal of
/// another kind (kHttpNotOk), an answer of 200 without an entry (kGatewayNoEntry), a
/// malformed one (kGatewayUnparsable), or the call's error.
Error gateway_mapping_entry(const GatewayHandle& gateway, uint16_t index, MappingEntry* entry);

/// kOk with the entry of `protocol` and `external_port` (GetSpecificPortMappingEntry);
/// kGatewayMappingRefused when the router has none (UPnP error 714), else as
/// gateway_mapping_entry.
Error gateway_specific_entry(const GatewayHandle& gateway, uint16_t external_port,
                             const std::string& protocol, MappingEntry* entry);

/// The answer's part of gateway_mapping_entry, for the body of a response: kOk with the
/// entry; kGatewayNoEntry when the answer holds no NewExternalPort or no NewProtocol.
Error gateway_parse_mapping_entry(const std::string& body, MappingEntry* entry);

#endif  // PORTWRANGLER_GATEWAY_MAPPING_H_
