// A port forwarding as an entry of the holding loop (--keep -add): the add and its clash
// check, the check of the router's entry before each renewal, the add again, and the
// removal at the end, each as one HoldKind operation.
#ifndef PORTWRANGLER_HOLD_FORWARDING_H_
#define PORTWRANGLER_HOLD_FORWARDING_H_

#include "cli/records.h"
#include "hold/loop.h"

/// The forwarding `request` asks for (its lease in lease_seconds) as a held entry. Its
/// first add goes to `sink` as -add shows it, unless `in_set` (an entry of a held set,
/// whose clash check asks for the entry on its port alone); so do its events.
HeldEntry hold_forwarding(const RequestRecord& request, HoldSink* sink, bool in_set = false);

#endif  // PORTWRANGLER_HOLD_FORWARDING_H_
