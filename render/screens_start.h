// What a run shows before and around its command: the banner, the notes on standard
// error about the router found (or the NAT-PMP/PCP server where none answered), and the
// one line a held set ends with when it fails before holding anything.
#ifndef PORTWRANGLER_RENDER_SCREENS_START_H_
#define PORTWRANGLER_RENDER_SCREENS_START_H_

#include <string>

#include "cli/status.h"
#include "flows/probe.h"
#include "gateway/handle.h"
#include "portmap/exchange.h"

/// The banner every run with screens starts with.
void print_banner();

/// One line on standard error when the router's forwardings cannot be reached from the
/// internet (`external_address`); standard output stays as it is.
void note_reach(const std::string& external_address);

/// One line on standard error when the router taken is not its link's default gateway;
/// standard output stays as it is.
void note_choice(const GatewayHandle& gateway);

/// The one line on standard error that names a NAT-PMP/PCP server (what the probe
/// `found` at `gateway`) where no UPnP router answered.
void portmap_hint(ProbeFound found, const PortmapGateway& gateway);

/// The line on standard error of a held set that ended as `outcome` (not a success):
/// `problem` where one was told, else the outcome's message, else its exit status.
void hold_failure_show(const Outcome& outcome, const std::string& problem);

#endif  // PORTWRANGLER_RENDER_SCREENS_START_H_
