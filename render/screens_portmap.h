// The screens of the commands through NAT-PMP and PCP (-add, -remove, -stats), and the
// lines they say on standard error, from the plain result of flows/portmap.
#ifndef PORTWRANGLER_RENDER_SCREENS_PORTMAP_H_
#define PORTWRANGLER_RENDER_SCREENS_PORTMAP_H_

#include <string>

#include "cli/options.h"
#include "cli/status.h"
#include "flows/portmap.h"

/// The status box of a NAT-PMP or PCP gateway's failure: "Status: [NNN] - (PCP Gateway
/// Error)" over the message's rows.
void print_gateway_failure_box(Status status, MapVia via, const std::string& message);

/// What a command through NAT-PMP or PCP says on standard error before its result, on the
/// screens and with JSON alike: its notes, then what its external address says of
/// reaching the mappings.
void portmap_say_notes(const PortmapResult& result);

/// The screens of a command through NAT-PMP or PCP (its notes said first).
void portmap_show(const PortmapResult& result);

#endif  // PORTWRANGLER_RENDER_SCREENS_PORTMAP_H_
