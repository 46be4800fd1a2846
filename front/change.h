// The add and remove flows: each walks the table first (unless "-q" was given), then
// changes it with one action and prints the outcome box. Both always end the run.
#ifndef PORTWRANGLER_FRONT_CHANGE_H_
#define PORTWRANGLER_FRONT_CHANGE_H_

#include "front/records.h"
#include "gateway/handle.h"

/// Adds the requested entry unless it clashes with one the router has; ends the run.
[[noreturn]] void add_flow(RunRecords* records, GatewayHandle** gateway);

/// Removes the entry with the requested protocol and external port; ends the run.
[[noreturn]] void remove_flow(RunRecords* records, GatewayHandle** gateway);

#endif  // PORTWRANGLER_FRONT_CHANGE_H_
