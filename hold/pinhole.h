// An IPv6 firewall pinhole (UPnP) as an entry of the holding loop.
#ifndef PORTWRANGLER_HOLD_PINHOLE_H_
#define PORTWRANGLER_HOLD_PINHOLE_H_

#include "cli/records.h"
#include "hold/loop.h"

/// The pinhole of `request` (-pinhole -add) as an entry of the holding loop: renewed at
/// half its lease for the address this host reaches the router from at that time (opened
/// for a new address and deleted for the old one when it changed), opened again when the
/// router lost it, deleted at the end. Its first add goes to `sink` as -pinhole -add
/// shows it, with `show_first`; so do its events.
HeldEntry hold_pinhole(const RequestRecord& request, HoldSink* sink, bool show_first = true);

#endif  // PORTWRANGLER_HOLD_PINHOLE_H_
