// The commands of a prepared run, each composed of its flow and its face: the flow runs,
// then its result goes to the screens or, with --json, to its document. A held set or
// --keep hands over to the holding service instead.
#ifndef PORTWRANGLER_APP_RUN_H_
#define PORTWRANGLER_APP_RUN_H_

#include "app/start.h"
#include "cli/options.h"
#include "cli/records.h"
#include "cli/status.h"
#include "gateway/discovery.h"
#include "gateway/handle.h"
#include "hold/loop.h"

/// The add of `request`: its screens, or with `json` its document.
Outcome run_add(const RequestRecord& request, const GatewayHandle& gateway, bool json);

/// The removal of `request`'s entry.
Outcome run_remove(const RequestRecord& request, const GatewayHandle& gateway, bool json);

/// The listing command `code` (the list, a search, an ID, -stats).
Outcome run_listing(int code, const RequestRecord& request, const GatewayHandle& gateway,
                    bool json);

/// The report of -diagnose, which searches on its own.
Outcome run_diagnose(const RequestRecord& request, const DiscoveryOptions& discovery, bool json);

/// The prepared command `run`: over UPnP, NAT-PMP or PCP, once or held (--keep, whose stop
/// signals `waiter` takes).
Outcome run_command(Prepared* run, const RunOptions& options, const KeepWaiter& waiter);

/// A held set (--hold): its events alone, no screens; a problem before the holding is one
/// line on standard error (or the JSON error document). `argc` counts what is left of the
/// command line past the long options.
Outcome run_hold(int argc, const RunOptions& options);

#endif  // PORTWRANGLER_APP_RUN_H_
