#include "flows/change.h"

#include <algorithm>

#include "base/clock.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/retry.h"
#include "base/text.h"
#include "base/trace.h"
#include "cli/grammar.h"
#include "flows/walk.h"

bool add_clashes(const RequestRecord& request, const MappingEntry& entry) {
  if (!text_equal_ignoring_case(entry.protocol, request.protocol)) return false;
  // A port the router chooses cannot clash: it chooses a free one.
  if (!request.any_port && entry.external_port == request.external_port) return true;
  return text_equal_ignoring_case(entry.client, address_meant(request.ip_address)) &&
         entry.internal_port == request.internal_port;
}

bool ours_on_any_port(const MappingEntry& entry, const MappingRequest& mapping) {
  return entry.external_port != 0 && text_equal_ignoring_case(entry.protocol, mapping.protocol) &&
         entry.internal_port == mapping.internal_port &&
         text_equal_ignoring_case(entry.client, mapping.client);
}

bool entry_is_ours(const MappingEntry& entry, const MappingRequest& mapping) {
  if (entry.external_port != mapping.external_port) return false;
  // A daemon known to report internal port 0 for its entries: our client on our port and
  // protocol is ours all the same.
  if (entry.internal_port == 0 && entry.external_port != 0 &&
      text_equal_ignoring_case(entry.protocol, mapping.protocol) &&
      text_equal_ignoring_case(entry.client, mapping.client)) {
    return true;
  }
  return ours_on_any_port(entry, mapping);
}

ReadBack chosen_entry(const std::vector<MappingEntry>& ours, const MappingRequest& mapping,
                      const std::vector<uint16_t>* seen_before, size_t* chosen) {
  std::vector<size_t> left;
  for (size_t i = 0; i < ours.size(); ++i) {
    // An entry there before the add is no new choice of the router's, unless it stands on
    // the port asked: a router renews our own entry there in place.
    const bool old = seen_before != nullptr &&
                     std::find(seen_before->begin(), seen_before->end(), ours[i].external_port) !=
                         seen_before->end();
    if (!old || ours[i].external_port == mapping.external_port) left.push_back(i);
  }
  if (left.size() > 1) {
    std::vector<size_t> described;
    for (size_t i : left) {
      if (ours[i].description == mapping.description) described.push_back(i);
    }
    if (described.size() == 1) left = described;
  }
  if (left.empty()) return ReadBack::kAbsent;
  if (left.size() > 1) return ReadBack::kUnknown;
  *chosen = left.front();
  return ReadBack::kOurs;
}

bool remove_matches(const RequestRecord& request, const MappingEntry& entry) {
  return entry.external_port == request.external_port &&
         text_equal_ignoring_case(entry.protocol, request.protocol);
}

Outcome remove_refusal(bool quick, bool found) {
  return {quick ? Status::kRemoveRefusedQuick : Status::kRemoveRefused,
          found ? kMessageRemoveDenied : kMessageRemoveRefused};
}

MappingRequest mapping_asked(const RequestRecord& request) {
  // An address typed in a short, octal or hexadecimal form is sent as the one it means.
  return {client_asked(request, request.local_address),
          request.external_port,
          request.internal_port,
          request.protocol,
          request.description,
          request.lease_seconds,
          request.any_port};
}

AddResult add_apply(const RequestRecord& request, const GatewayHandle& gateway, bool adopt,
                    bool read_always) {
  AddResult result;
  result.mapping = mapping_asked(request);
  TableWalk walk = walk_from(0, kWalkMax);
  WalkStep step = WalkStep::kEnd;
  if (!request.quick) {
    // A pass the table's change voided is read again; a clash seen in it stands, since
    // the entry was there.
    while (!result.clash &&
           ((step = walk_next(&walk, gateway, &result.clash_entry)) == WalkStep::kEntry ||
            step == WalkStep::kRestarted)) {
      if (step == WalkStep::kRestarted) result.ours_before.clear();
      if (step == WalkStep::kEntry && ours_on_any_port(result.clash_entry, result.mapping)) {
        result.ours_before.push_back(result.clash_entry.external_port);
      }
      result.clash = step == WalkStep::kEntry && add_clashes(request, result.clash_entry);
      if (result.clash && adopt && entry_is_ours(result.clash_entry, result.mapping)) {
        // Left by an earlier run of ours (killed, or a power loss): renewed, not refused.
        result.clash = false;
        result.adopted = true;
      }
    }
  }
  result.clash_id = walk.count;
  // A check that could not read the whole table must not let the add replace an entry it
  // did not see.
  result.unchecked = !result.clash && step == WalkStep::kBroken;
  result.table_seen = !request.quick && !result.clash && step == WalkStep::kEnd;
  if (!result.clash && !result.unchecked) add_send(gateway, &result, read_always);
  return result;
}

ReadBack read_back(const GatewayHandle& gateway, const MappingRequest& mapping,
                   MappingEntry* entry) {
  auto judged = [&](const MappingEntry& found) {
    *entry = found;
    return text_equal_ignoring_case(found.client, mapping.client) &&
                   found.internal_port == mapping.internal_port
               ? ReadBack::kOurs
               : ReadBack::kOther;
  };
  MappingEntry found;
  const Error error =
      gateway_specific_entry(gateway, mapping.external_port, mapping.protocol, &found);
  if (error == Error::kOk) return judged(found);
  if (error == Error::kGatewayMappingRefused) return ReadBack::kAbsent;
  // A router that takes no GetSpecificPortMappingEntry answers with a refusal of
  // another kind: its table is walked instead.
  if (error != Error::kHttpNotOk) return ReadBack::kUnknown;
  TableWalk walk = walk_from(0, kWalkMax);
  for (;;) {
    switch (walk_next(&walk, gateway, &found)) {
      case WalkStep::kEntry:
        if (found.external_port == mapping.external_port &&
            text_equal_ignoring_case(found.protocol, mapping.protocol)) {
          return judged(found);
        }
        break;
      case WalkStep::kRestarted:
        break;
      case WalkStep::kEnd:
        return ReadBack::kAbsent;
      case WalkStep::kBroken:
        return ReadBack::kUnknown;
    }
  }
}

namespace {

/// The port the router chose for `*mapping`: the mapping's from here on.
void take_chosen_port(MappingRequest* mapping, uint16_t granted) {
  trace("add: the router chose external port %u (%u wished)", granted, mapping->external_port);
  mapping->external_port = granted;
  mapping->any_port = false;
}

/// Where the router made `result`'s entry when it was to choose the port and its answer
/// was lost: our entries on any port, read in one walk of the table (chosen_entry).
ReadBack read_back_chosen(const GatewayHandle& gateway, const AddResult& result,
                          MappingEntry* entry) {
  std::vector<MappingEntry> ours;
  TableWalk walk = walk_from(0, kWalkMax);
  MappingEntry found;
  for (;;) {
    switch (walk_next(&walk, gateway, &found)) {
      case WalkStep::kEntry:
        if (ours_on_any_port(found, result.mapping)) ours.push_back(found);
        break;
      case WalkStep::kRestarted:
        ours.clear();
        break;
      case WalkStep::kEnd: {
        size_t chosen = 0;
        const ReadBack read = chosen_entry(
            ours, result.mapping, result.table_seen ? &result.ours_before : nullptr, &chosen);
        if (read == ReadBack::kOurs) *entry = ours[chosen];
        return read;
      }
      case WalkStep::kBroken:
        return ReadBack::kUnknown;
    }
  }
}

/// Whether a router's refusal of an add may be for its description: Invalid Args (402) or
/// Action Failed (501), as routers answer a text too long or holding characters they do
/// not take, or an empty one.
bool description_refused(int code) {
  return code == kUpnpInvalidArgs || code == 501;
}

/// One add of `*mapping`: AddAnyPortMapping when the router chooses the port, whose
/// answer's port is then the mapping's from here on.
Error add_once(const GatewayHandle& gateway, MappingRequest* mapping, RouterFault* fault) {
  if (!mapping->any_port) return gateway_add_mapping(gateway, *mapping, fault);
  uint16_t granted = 0;
  const Error error = gateway_add_any_mapping(gateway, *mapping, &granted, fault);
  if (error != Error::kOk) return error;
  // The answer's port is taken once the table holds it for us: a router that names
  // another host's port (or none) made nothing of ours there. A table that cannot be
  // read takes the answer's word.
  MappingRequest chosen = *mapping;
  chosen.external_port = granted;
  chosen.any_port = false;
  MappingEntry entry;
  const ReadBack read = granted == 0 ? ReadBack::kAbsent : read_back(gateway, chosen, &entry);
  if (read == ReadBack::kOther || read == ReadBack::kAbsent) {
    trace("add: the router named port %u, where the table holds no entry of ours", granted);
    return Error::kGatewayChosenNotOurs;
  }
  take_chosen_port(mapping, granted);
  return Error::kOk;
}

}  // namespace

int64_t lease_given(int64_t asked, int64_t left, long long elapsed_ms) {
  if (asked <= 0 || left <= 0 || left >= asked) return left;
  const int64_t may_have_passed = elapsed_ms / 1000 + 1;
  return asked - left <= may_have_passed ? asked : left;
}

namespace {

void take_lease_given(AddResult* result, long long sent_ms) {
  const long long elapsed_ms = clock_ms() - sent_ms;
  const int64_t left = result->granted.lease_seconds;
  result->granted.lease_seconds =
      static_cast<uint32_t>(lease_given(result->mapping.lease_seconds, left, elapsed_ms));
  if (result->granted.lease_seconds != left) {
    trace("add: %lld s of the lease read back %lld ms after the add: the %lld s asked, given",
          static_cast<long long>(left), elapsed_ms,
          static_cast<long long>(result->granted.lease_seconds));
  }
}

}  // namespace

void add_send(const GatewayHandle& gateway, AddResult* result, bool read_always) {
  result->lease_read = false;
  result->asked_port = result->mapping.external_port;
  long long sent_ms = clock_ms();  // of the last add sent: the router's lease counts from it
  result->error = add_once(gateway, &result->mapping, &result->fault);
  if (result->error == Error::kGatewayOnlyPermanent && result->mapping.lease_seconds != 0) {
    result->permanent = true;
    result->mapping.lease_seconds = 0;
    sent_ms = clock_ms();
    result->error = add_once(gateway, &result->mapping, &result->fault);
  }
  if (result->error == Error::kHttpNotOk && result->mapping.description.empty() &&
      result->fault.code == kUpnpInvalidArgs) {
    // Some routers refuse an entry without a description as an invalid argument: once more
    // under our name. (Action Failed, 501, says nothing of the arguments: no second try.)
    trace("add: refused without a description (UPnP error %d): made again as \"%s\"",
          result->fault.code, kNamedDescription);
    result->mapping.description = kNamedDescription;
    result->named = true;
    sent_ms = clock_ms();
    result->error = add_once(gateway, &result->mapping, &result->fault);
  }
  if (request_may_have_arrived(result->error)) {
    // The router may have made the entry: the table tells, on any port when the port was
    // the router's to choose.
    result->verified = true;
    const bool chosen = result->mapping.any_port;
    switch (chosen ? read_back_chosen(gateway, *result, &result->granted)
                   : read_back(gateway, result->mapping, &result->granted)) {
      case ReadBack::kOurs:
        trace("add: the answer was lost after the request went out; the entry is there");
        if (chosen) take_chosen_port(&result->mapping, result->granted.external_port);
        result->error = Error::kOk;
        result->lease_read = true;
        take_lease_given(result, sent_ms);
        return;
      case ReadBack::kUnknown:
        trace(
            "add: the answer was lost after the request went out, and the table cannot "
            "tell whether the entry was made");
        result->unknown = true;
        return;
      default:
        trace("add: the answer was lost after the request went out; the entry is not there");
        return;
    }
  }
  if (result->error == Error::kOk && (result->mapping.lease_seconds != 0 || read_always)) {
    // A router may grant less than it was asked, or hold a permanent entry with a lease:
    // the entry tells what it holds.
    result->lease_read =
        gateway_specific_entry(gateway, result->mapping.external_port, result->mapping.protocol,
                               &result->granted) == Error::kOk;
    if (result->lease_read) take_lease_given(result, sent_ms);
  }
}

std::string change_refusal_note(Error error, const RouterFault& fault,
                                const std::string& description, bool add) {
  if (error != Error::kHttpNotOk || fault.code == 0) return std::string();
  std::string note = format_string("the router refused the %s: UPnP error %d",
                                   add ? "add" : "removal", fault.code);
  if (!fault.description.empty()) note += " (" + fault.description + ")";
  if (add && !description.empty() && description_refused(fault.code)) {
    note +=
        "; some routers refuse a long description or characters they do not take: try a "
        "shorter one of letters and digits";
  }
  return note;
}

Outcome add_outcome(const AddResult& result) {
  if (result.clash) return {Status::kFailure, "", ExitStatus::kClash};
  if (result.error == Error::kGatewayNoAnyPort) {
    return {Status::kFailure, "", ExitStatus::kBadCommand};
  }
  if (result.unchecked || result.unknown) {
    return {Status::kFailure, "", ExitStatus::kIncomplete};
  }
  if (!result.added()) return {Status::kFailure, "", ExitStatus::kRefused};
  return {Status::kSuccess, ""};
}

RemoveResult remove_apply(const RequestRecord& request, const GatewayHandle& gateway) {
  RemoveResult result;
  TableWalk walk = walk_from(0, kWalkMax);
  if (!request.quick) {
    // A search cut short by a failure goes on as "not found": the removal stands alone.
    WalkStep step;
    while (!result.found &&
           ((step = walk_next(&walk, gateway, &result.entry)) == WalkStep::kEntry ||
            step == WalkStep::kRestarted)) {
      result.found = step == WalkStep::kEntry && remove_matches(request, result.entry);
    }
  }
  result.id = walk.count;
  result.error =
      gateway_delete_mapping(gateway, request.external_port, request.protocol, &result.fault);
  if (request_may_have_arrived(result.error)) {
    // The router may have removed it: the table tells.
    result.verified = true;
    MappingRequest mapping;
    mapping.external_port = request.external_port;
    mapping.protocol = request.protocol;
    MappingEntry left;
    switch (read_back(gateway, mapping, &left)) {
      case ReadBack::kAbsent:
        trace("remove: the answer was lost after the request went out; the entry is gone");
        result.error = Error::kOk;
        break;
      case ReadBack::kUnknown:
        trace(
            "remove: the answer was lost after the request went out, and the table cannot "
            "tell whether the entry is gone");
        result.unknown = true;
        break;
      default:
        trace("remove: the answer was lost after the request went out; the entry is there");
        break;
    }
  }
  return result;
}

Outcome remove_outcome(const RequestRecord& request, const RemoveResult& result) {
  if (result.removed()) return {Status::kSuccess, ""};
  if (result.unknown)
    return {Status::kRemoveUnknown, kMessageRemoveUnknown, ExitStatus::kIncomplete};
  const Outcome refusal = remove_refusal(request.quick, result.found);
  return {refusal.status, refusal.message, ExitStatus::kRefused};
}
