// The router's IPv6 firewall (WANIPv6FirewallControl of an IGD version 2 router): its
// status, and pinholes opened, renewed, checked and closed for this host. The router takes
// these only over IPv6, for the address the request comes from.
#ifndef PORTWRANGLER_GATEWAY_FIREWALL_H_
#define PORTWRANGLER_GATEWAY_FIREWALL_H_

#include <cstdint>
#include <string>

#include "base/error.h"
#include "base/number.h"
#include "gateway/handle.h"

// The router's refusals that say what to do.
constexpr int kUpnpActionNotAuthorized = 606;
constexpr int kUpnpPinholeSpaceExhausted = 701;
constexpr int kUpnpFirewallDisabled = 702;
constexpr int kUpnpInboundPinholeNotAllowed = 703;
constexpr int kUpnpNoSuchPinhole = 704;
constexpr int kUpnpPinholesNotAllowed = 706;
constexpr int kUpnpNoTrafficReceived = 709;

/// The two booleans of the firewall's status; a word that is no UPnP boolean is unknown,
/// kept as the router wrote it.
struct FirewallStatus {
  Truth enabled = Truth::kUnknown;
  Truth inbound_allowed = Truth::kUnknown;
  std::string enabled_text;
  std::string inbound_text;
};

/// A pinhole to open: `port` of `client` (this host's own address, as the connection to
/// the router shows it) for any remote host and port.
struct PinholeRequest {
  std::string client;
  uint16_t port = 0;
  int protocol = 6;  // IANA numbers: 6 TCP, 17 UDP
  uint32_t lease_seconds = 3600;
};

/// What a check found: whether packets passed (the router may not tell), and how many.
/// An answer that is no UPnP boolean, or no number below 2^64, is unknown: its text is
/// kept, as the router wrote it.
struct PinholeCheck {
  bool working_known = false;
  bool working = false;
  std::string working_text;
  bool packets_known = false;
  uint64_t packets = 0;
  std::string packets_text;
  // The router's UPnP error where it would not make the check (0: none, or it saw no
  // traffic): the answer is unknown, not a failure.
  int working_fault = 0;
  int packets_fault = 0;
};

/// What a failed action says: kHttpNotOk with the router's UPnP error in `*fault` (0 when
/// it names none), or the call's error.
Error firewall_status(const GatewayHandle& gateway, FirewallStatus* status, int* fault);
/// kGatewayNoPinholeId: the router took the request (200) but named no ID (a 16-bit
/// number): it may have opened the pinhole; `*id_text` is what it named.
Error pinhole_add(const GatewayHandle& gateway, const PinholeRequest& request, uint16_t* id,
                  std::string* id_text, int* fault);
Error pinhole_update(const GatewayHandle& gateway, uint16_t id, uint32_t lease_seconds, int* fault);
Error pinhole_delete(const GatewayHandle& gateway, uint16_t id, int* fault);
/// The check asks whether the pinhole works and how many packets went through; a router
/// that cannot tell (709, or no such action) leaves that part unknown, not failed.
Error pinhole_check(const GatewayHandle& gateway, uint16_t id, PinholeCheck* check, int* fault);

/// The answers' parts, for the body of a response.
Error firewall_parse_status(const std::string& body, FirewallStatus* status);
Error pinhole_parse_id(const std::string& body, uint16_t* id, std::string* id_text);
/// CheckPinholeWorking's IsWorking and GetPinholePackets' PinholePackets, into `*check`.
Error pinhole_parse_working(const std::string& body, PinholeCheck* check);
Error pinhole_parse_packets(const std::string& body, PinholeCheck* check);

/// Whether a refusal says the router holds no such pinhole (lost in a reboot, or its
/// lease ran out).
bool pinhole_gone(Error error, int fault);

#endif  // PORTWRANGLER_GATEWAY_FIREWALL_H_
