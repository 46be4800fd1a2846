// The screens of the IPv6 firewall's pinhole commands: through UPnP (-pinhole -status,
// -add, -remove, -check) and through PCP (-add, -remove), from flows/pinhole's results.
#ifndef PORTWRANGLER_RENDER_SCREENS_PINHOLE_H_
#define PORTWRANGLER_RENDER_SCREENS_PINHOLE_H_

#include "cli/status.h"
#include "flows/pinhole.h"

/// The screens of a pinhole command, and how it ends the run.
Outcome pinhole_show(const PinholeResult& result);

/// The screens of a pinhole command through PCP.
void pcp_pinhole_show(const PcpPinholeResult& result);

#endif  // PORTWRANGLER_RENDER_SCREENS_PINHOLE_H_
