// How a step before any flow fails (the search, this host's address, the router's
// external address): its trace line, and the outcome the run ends with.
#ifndef PORTWRANGLER_FLOWS_FAILURE_H_
#define PORTWRANGLER_FLOWS_FAILURE_H_

#include "base/error.h"
#include "cli/status.h"

/// The failure of `step` with `error`: its trace line, and the outcome of `status` with
/// `message`.
Outcome failed_step(const char* step, Error error, Status status, const char* message);

/// The failure to learn this host's address toward the router: no IPv4 address, no
/// global IPv6 one (a pinhole's), or none at all.
Outcome failed_local_address(Error error);

#endif  // PORTWRANGLER_FLOWS_FAILURE_H_
