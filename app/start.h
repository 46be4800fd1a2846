// A run's start, before its command: the command line read, the router found (or the
// NAT-PMP/PCP gateway), and this host's and the router's addresses.
#ifndef PORTWRANGLER_APP_START_H_
#define PORTWRANGLER_APP_START_H_

#include <string>

#include "cli/grammar.h"
#include "cli/options.h"
#include "cli/records.h"
#include "cli/status.h"
#include "gateway/discovery.h"
#include "gateway/handle.h"
#include "portmap/exchange.h"

/// What a run holds once it is ready for its flow.
struct Prepared {
  int code = kSyntaxError;
  MapVia via = MapVia::kUpnp;      // the protocol the flow speaks (auto has chosen)
  PortmapGateway portmap_gateway;  // with NAT-PMP and PCP
  RequestRecord request;
  GatewayHandle gateway;
  DiscoveryOptions discovery;
  std::string problem;  // what is wrong with a command line the long options refused
};

/// The command, the router and both addresses: kSuccess when the flow may run.
Outcome prepare(int argc, char** argv, const RunOptions& options, Prepared* run);

/// What is wrong with a command line whose --interface names no interface that can carry
/// the search: told before any search, as the command line's fault.
std::string interface_problem(const RunOptions& options);

/// Whether `code` is one of the add commands.
bool is_add_command(int code);

#endif  // PORTWRANGLER_APP_START_H_
