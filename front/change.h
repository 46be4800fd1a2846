// The add and remove flows: each walks the table first (unless "-q" was given), then
// changes it with one action, prints the outcome box and returns how the run ends. Their
// rules are plain functions of the request and an entry, below the flows themselves.
#ifndef PORTWRANGLER_FRONT_CHANGE_H_
#define PORTWRANGLER_FRONT_CHANGE_H_

#include <string>

#include "front/records.h"
#include "front/status.h"
#include "gateway/handle.h"
#include "gateway/mapping.h"

/// Adds the requested entry unless it clashes with one the router has.
Outcome add_flow(const RequestRecord& request, const GatewayHandle& gateway);

/// Removes the entry with the requested protocol and external port.
Outcome remove_flow(const RequestRecord& request, const GatewayHandle& gateway);

/// Whether `entry` clashes with the entry the request would add: the same protocol
/// (ignoring letter case) and either the same external port, or the same client and
/// internal port. Without "-ip" the request's client is empty and matches no entry. An
/// entry whose port text names no port matches on no port.
bool add_clashes(const RequestRecord& request, const MappingEntry& entry);

/// The title line of the add's outcome box.
const char* add_outcome_title(bool failed);

/// Whether `entry` is the one the removal asks for: the same external port and the same
/// protocol, ignoring letter case.
bool remove_matches(const RequestRecord& request, const MappingEntry& entry);

/// The status box of a refused removal: its status (52 after "-q", else 53) and its
/// message (access denied when the search had found the entry).
Outcome remove_refusal(bool quick, bool found);

/// The title line of the removal's outcome box: with the entry's ID (`id`, 1-based)
/// when the search found it.
std::string remove_outcome_title(bool found, bool failed, int id);

#endif  // PORTWRANGLER_FRONT_CHANGE_H_
