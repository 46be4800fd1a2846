// What the router's external address says about reaching its forwardings from outside:
// an address of a private, shared (carrier-grade NAT) or otherwise non-public range means
// another router stands between this one and the internet.
#ifndef PORTWRANGLER_GATEWAY_REACH_H_
#define PORTWRANGLER_GATEWAY_REACH_H_

#include <string>

enum class Reach {
  kPublic,       // an address outside the ranges below
  kPrivate,      // RFC 1918: 10/8, 172.16/12, 192.168/16
  kShared,       // RFC 6598: 100.64/10, a provider's carrier-grade NAT
  kLoopback,     // 127/8
  kLinkLocal,    // 169.254/16
  kUnspecified,  // 0.0.0.0 (0/8)
  kEmpty,        // the router gave none
  kUnknown,      // not a dotted IPv4 address: nothing can be said
};

/// The range the external address text lies in.
Reach reach_of(const std::string& external_address);

/// Whether entries on a router with this address cannot be reached from the internet.
bool reach_blocked(Reach reach);

/// Why, in a few words (empty for kPublic and kUnknown).
const char* reach_reason(Reach reach);

/// The note for standard error, whichever protocol told the address: one whole line, or
/// empty where nothing is blocked.
std::string reach_note(Reach reach);

#endif  // PORTWRANGLER_GATEWAY_REACH_H_
