#include "flows/listing.h"

#include "base/limits.h"
#include "base/protocol.h"
#include "base/text.h"
#include "cli/grammar.h"
#include "flows/walk.h"
#include "gateway/device_info.h"

bool listing_given(const std::string& text) {
  return text.size() > 1;
}

bool listing_filtered(int code, const RequestRecord& request) {
  return code >= kFilteredListingMin || request.entry_id != -1;
}

bool listing_shows_information(int code) {
  return code == kListStats || code == kStats;
}

bool listing_filter_set(const RequestRecord& request) {
  return request.entry_id != -1 || listing_given(request.protocol) || !request.ip_address.empty() ||
         request.internal_port != 0 || request.external_port != 0 || request.enabled != -1;
}

bool listing_passes_filter(const RequestRecord& request, const MappingEntry& entry) {
  if (listing_given(request.protocol) &&
      !text_equal_ignoring_case(request.protocol, entry.protocol)) {
    return false;
  }
  if (!request.ip_address.empty() &&
      !text_equal_ignoring_case(address_meant(request.ip_address), mapping_client_shown(entry))) {
    return false;
  }
  if (request.internal_port != 0 && request.internal_port != entry.internal_port) return false;
  if (request.external_port != 0 && request.external_port != entry.external_port) return false;
  return request.enabled == -1 || request.enabled == entry.enabled;
}

void listing_count(const MappingEntry& entry, ListingStatistics* stats) {
  const bool on = entry.enabled == 1;  // an unknown status counts as not enabled
  if (protocol_number(entry.protocol) == kIpProtocolTcp) {
    ++stats->tcp;
    if (on) ++stats->tcp_enabled;
  } else {
    ++stats->udp;
    if (on) ++stats->udp_enabled;
  }
  if (on) ++stats->enabled;
}

ListingResult listing_read(int code, const RequestRecord& request, const GatewayHandle& gateway) {
  const bool by_id = request.entry_id != -1;
  const bool filter = listing_filtered(code, request);
  ListingResult result;
  // An ID reads one entry, at its 0-based index.
  TableWalk walk = by_id ? walk_from(request.entry_id - 1, 1) : walk_from(0, kWalkMax);
  // The pass is read whole before any of it is shown: a pass that the table's change
  // voids is read again, and only one whole pass is ever listed. A description is kept
  // to what an add may send, so a long table of long texts stays small.
  MappingEntry entry;
  while ((result.end = walk_next(&walk, gateway, &entry)) == WalkStep::kEntry ||
         result.end == WalkStep::kRestarted) {
    if (result.end == WalkStep::kRestarted) {
      result = ListingResult();
      continue;
    }
    entry.description = text_cut(entry.description, kDescriptionMax);
    ++result.count;
    listing_count(entry, &result.stats);
    if (code != kStats && (!filter || listing_passes_filter(request, entry))) {
      if (filter) ++result.match_count;
      result.shown.push_back({by_id ? request.entry_id : result.count, std::move(entry)});
    }
  }
  return result;
}

void listing_read_information(const GatewayHandle& gateway, ListingResult* result) {
  (void)gateway_device_info(gateway, &result->info);  // unread texts show as N/A
}

Outcome listing_outcome(const RequestRecord& request, const ListingResult& result) {
  // A table read in part is never shown as whole: what was read stands, then the failure.
  if (result.end == WalkStep::kBroken) {
    return {Status::kEnumerateFailed, kMessageEnumerateFailed, ExitStatus::kIncomplete};
  }
  if (result.count == 0 && request.entry_id == -1) {
    return {Status::kEnumerateFailed, kMessageEnumerateFailed, ExitStatus::kDone};
  }
  return {Status::kSuccess, ""};
}
