#include "hold/forwarding.h"

#include <cstdio>
#include <memory>
#include <string>

#include "base/clock.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/retry.h"
#include "base/text.h"
#include "base/trace.h"
#include "cli/grammar.h"
#include "flows/change.h"
#include "flows/walk.h"
#include "gateway/external_address.h"
#include "gateway/mapping.h"

namespace {

/// What the loop holds of a forwarding.
struct Forwarding {
  RequestRecord request;
  HoldSink* sink = nullptr;
  bool in_set = false;  // of a held set: no first screen; the check asks for the one entry
  AddResult held;       // the entry as last added, with its lease
};

int64_t granted_lease(const AddResult& result) {
  if (result.lease_read) return result.granted.lease_seconds;
  return result.mapping.lease_seconds;
}

std::string lease_text(const AddResult& result) {
  if (result.permanent) return "permanent: the router takes no lease";
  return "lease " + std::to_string(granted_lease(result)) + " s";
}

HeldSubject subject(Forwarding* forwarding, const HoldAnswer&) {
  HeldSubject subject;
  subject.what = HeldSubject::What::kForwarding;
  subject.forwarding = &forwarding->held.mapping;
  return subject;
}

/// Where the router's entry for the held port stands: kHeld when it is ours, kTaken when
/// another host's (in `*entry`), kGone when there is none, kAway when the router did not
/// answer (`*error`). A router that cannot be asked for one entry is read whole.
HoldStep look_up(const GatewayHandle& gateway, const MappingRequest& mapping, MappingEntry* entry,
                 Error* error) {
  *error = gateway_specific_entry(gateway, mapping.external_port, mapping.protocol, entry);
  if (*error == Error::kOk)
    return entry_is_ours(*entry, mapping) ? HoldStep::kHeld : HoldStep::kTaken;
  if (*error == Error::kGatewayMappingRefused) return HoldStep::kGone;
  if (error_in_transport(*error)) return HoldStep::kAway;
  trace("keep: the router cannot be asked for one entry: its table is read");
  TableWalk walk = walk_from(0, kWalkMax);
  WalkStep step;
  while ((step = walk_next(&walk, gateway, entry)) == WalkStep::kEntry ||
         step == WalkStep::kRestarted) {
    if (step == WalkStep::kEntry && entry->external_port == mapping.external_port &&
        text_equal_ignoring_case(entry->protocol, mapping.protocol)) {
      *error = Error::kOk;
      return entry_is_ours(*entry, mapping) ? HoldStep::kHeld : HoldStep::kTaken;
    }
  }
  if (step == WalkStep::kBroken) return HoldStep::kAway;  // not read whole: asked again
  *error = Error::kOk;
  return HoldStep::kGone;
}

/// Another host's entry found where ours was: never overwritten.
HoldAnswer taken_by(const MappingEntry& entry) {
  HoldAnswer answer;
  answer.step = HoldStep::kTaken;
  answer.text = format_string("held by %s:%u now: not overwritten, no longer held",
                              entry.client.c_str(), entry.internal_port);
  answer.ending = {Status::kDuplicate, kMessageDuplicate, ExitStatus::kClash};
  return answer;
}

/// What an add that passed its check came to.
HoldAnswer answer_of_add(Forwarding* forwarding, const AddResult& result, const char* event,
                         const char* text) {
  HoldAnswer answer;
  answer.error = result.error;
  if (result.error == Error::kOk) {
    forwarding->held = result;
    answer.event = event;
    answer.text = text + lease_text(result);
    answer.lease_seconds = granted_lease(result);
    // An entry the router holds with no lease is checked as often as the one asked.
    answer.permanent = answer.lease_seconds == 0;
    if (answer.permanent) answer.renew_lease_seconds = forwarding->request.lease_seconds;
  } else if (result.error == Error::kGatewayMappingRefused) {
    answer.step = HoldStep::kConflict;
    answer.text = "the router refused the add as a conflict";
    answer.fault = kUpnpConflictInMappingEntry;
    answer.ending = {Status::kAddRefused, kMessageAddRefused, ExitStatus::kRefused};
  } else if (error_in_transport(result.error)) {
    answer.step = HoldStep::kAway;
  } else {
    answer.step = HoldStep::kRefused;
    answer.text = "the router refused the add";
    answer.fault = result.fault.code;
    answer.ending = {Status::kAddRefused, kMessageAddRefused, ExitStatus::kRefused};
  }
  return answer;
}

/// A held answer with the router's external address now; a failed read leaves it
/// untold (the entry is held all the same).
HoldAnswer with_address(HoldAnswer answer, const GatewayHandle& gateway) {
  std::string address;
  if (answer.step == HoldStep::kHeld && gateway_external_address(gateway, &address) == Error::kOk) {
    answer.external_address = address;
  }
  return answer;
}

/// The add with the clash check, our own entry adopted: `*forwarding`'s request for the
/// client it holds.
AddResult checked_add(const Forwarding& forwarding, const GatewayHandle& gateway) {
  RequestRecord request = forwarding.request;
  if (!forwarding.held.mapping.client.empty()) request.ip_address = forwarding.held.mapping.client;
  if (request.any_port && !forwarding.held.mapping.any_port) {
    // The router chose the port once: that port is the one held from then on.
    request.any_port = false;
    request.external_port = forwarding.held.mapping.external_port;
  }
  if (!forwarding.in_set) return add_apply(request, gateway, true);
  // A set asks for the one entry on the port: a walk of the table before each of its adds
  // would read the set's own entries again and again.
  AddResult result;
  result.mapping = {client_asked(request, request.local_address),
                    request.external_port,
                    request.internal_port,
                    request.protocol,
                    request.description,
                    request.lease_seconds};
  Error error = Error::kOk;
  switch (look_up(gateway, result.mapping, &result.clash_entry, &error)) {
    case HoldStep::kTaken:
      result.clash = true;
      return result;
    case HoldStep::kAway:
      result.unchecked = true;
      result.error = error;
      return result;
    case HoldStep::kHeld:
      result.adopted = true;
      break;
    default:
      break;
  }
  add_send(gateway, &result);
  return result;
}

HoldAnswer readd(Forwarding* forwarding, const GatewayHandle& gateway) {
  const AddResult result = checked_add(*forwarding, gateway);
  if (result.clash) {
    return taken_by(result.clash_entry);
  }
  if (result.unchecked) {
    HoldAnswer answer;
    answer.step = HoldStep::kAway;
    answer.error = result.error;
    return answer;
  }
  return with_address(answer_of_add(forwarding, result, result.adopted ? "renewed" : "added", ""),
                      gateway);
}

HoldAnswer hold(Forwarding* forwarding, const GatewayHandle& gateway) {
  AddResult result = checked_add(*forwarding, gateway);
  if (result.adopted && result.error == Error::kGatewayMappingRefused) {
    // A router that answers 718 to any add over an existing entry: ours goes first.
    trace("keep: the router will not renew our own entry: removed and added again");
    if (gateway_delete_mapping(gateway, result.mapping.external_port, result.mapping.protocol) ==
        Error::kOk) {
      add_send(gateway, &result);
    }
  }
  if (!forwarding->in_set) forwarding->sink->forwarding_added(forwarding->request, result);
  forwarding->held = result;
  if (result.added()) {
    HoldAnswer answer =
        answer_of_add(forwarding, result, result.adopted ? "adopted" : "added",
                      result.adopted ? "our own entry of an earlier run, renewed: " : "");
    answer.external_address = forwarding->request.external_address;  // read just before
    return answer;
  }
  HoldAnswer answer;
  answer.step = result.clash ? HoldStep::kTaken : HoldStep::kRefused;
  answer.event = result.clash ? "taken" : "refused";
  answer.text = result.clash ? "another entry holds the port: not added" : "not added";
  answer.error = result.error;
  answer.ending = add_outcome(result);
  return answer;
}

HoldAnswer renew(Forwarding* forwarding, const GatewayHandle& gateway) {
  MappingEntry entry;
  HoldAnswer answer;
  answer.step = look_up(gateway, forwarding->held.mapping, &entry, &answer.error);
  if (answer.step == HoldStep::kTaken) {
    return taken_by(entry);
  }
  if (answer.step != HoldStep::kHeld) return answer;
  AddResult next;
  next.mapping = forwarding->held.mapping;
  next.mapping.lease_seconds = forwarding->request.lease_seconds;
  add_send(gateway, &next);
  return with_address(answer_of_add(forwarding, next, "renewed", ""), gateway);
}

HoldAnswer release(Forwarding* forwarding, const GatewayHandle& gateway) {
  const MappingRequest& mapping = forwarding->held.mapping;
  MappingEntry entry;
  HoldAnswer answer;
  // The check has a short time of its own, so the removal keeps its time however the
  // router answers.
  const Deadline removal = gateway.deadline;
  gateway.deadline = deadline_sooner(removal, deadline_in(kStopCheckSeconds * 1000LL));
  answer.step = look_up(gateway, mapping, &entry, &answer.error);
  gateway.deadline = removal;
  if (answer.step == HoldStep::kTaken) {
    answer.event = "stopped";
    answer.text = "another host holds the port: left alone";
    return answer;
  }
  answer.event = "removed";
  if (answer.step == HoldStep::kGone) {
    answer.text = "the router had it no more";
    return answer;
  }
  // Ours, or not known: removed all the same.
  answer.error = gateway_delete_mapping(gateway, mapping.external_port, mapping.protocol);
  answer.step = HoldStep::kGone;
  if (answer.error == Error::kGatewayMappingRefused) {
    answer.text = "the router had it no more";
    answer.error = Error::kOk;
  }
  if (answer.error != Error::kOk) {
    answer.event = "remove failed";
    const bool away = error_in_transport(answer.error);
    answer.step = away ? HoldStep::kAway : HoldStep::kRefused;
    answer.ending = {Status::kRemoveRefused, kMessageRemoveRefused,
                     away ? ExitStatus::kNoRouter : ExitStatus::kRefused};
  }
  return answer;
}

}  // namespace

HeldEntry hold_forwarding(const RequestRecord& request, HoldSink* sink, bool in_set) {
  auto forwarding = std::make_shared<Forwarding>();
  forwarding->request = request;
  forwarding->sink = sink;
  // What the events name until the first add fills it in: a stop may come first.
  forwarding->held.mapping = mapping_asked(request);
  forwarding->in_set = in_set;
  HeldEntry entry;
  entry.lease_seconds = request.lease_seconds;
  entry.kind = hold_kind(forwarding, hold, renew, readd, release, subject);
  entry.sink = sink;
  return entry;
}
