#include "hold/pinhole.h"

#include <cstdio>
#include <memory>

#include "base/format.h"
#include "base/protocol.h"
#include "base/text.h"
#include "base/trace.h"
#include "cli/grammar.h"
#include "flows/pinhole.h"
#include "gateway/local_address.h"

namespace {

/// What the loop holds of a pinhole.
struct HeldPinhole {
  RequestRecord request;  // local_address: the address the pinhole is for
  HoldSink* sink = nullptr;
  bool show_first = true;  // the first add shown as the one-shot add shows it
  PinholeResult held;
};

HeldSubject subject(HeldPinhole* pinhole, const HoldAnswer&) {
  HeldSubject subject;
  subject.what = HeldSubject::What::kPinhole;
  subject.pinhole = &pinhole->held;
  return subject;
}

/// The answer of a failed action: away when the router did not answer, else refused.
HoldAnswer failed(const PinholeResult& result) {
  HoldAnswer answer;
  answer.error = result.error;
  answer.fault = result.fault;
  answer.step = error_in_transport(result.error) ? HoldStep::kAway : HoldStep::kRefused;
  answer.ending = pinhole_outcome(result);
  if (error_in_transport(result.error)) {
    answer.ending = {Status::kPinholeFailed, kMessagePinholeFailed, ExitStatus::kNoRouter};
  }
  return answer;
}

HoldAnswer held_answer(const HeldPinhole& pinhole, const char* event, const std::string& text) {
  HoldAnswer answer;
  answer.event = event;
  answer.text =
      text.empty() ? format_string("lease %u s", pinhole.held.request.lease_seconds) : text;
  answer.lease_seconds = pinhole.held.request.lease_seconds;
  return answer;
}

/// Opens the pinhole for the address the request names now.
HoldAnswer open(HeldPinhole* pinhole, const GatewayHandle& gateway, const char* event,
                const std::string& text) {
  const PinholeResult result = pinhole_apply(kPinholeAdd, pinhole->request, gateway);
  if (result.error != Error::kOk) return failed(result);
  pinhole->held = result;
  return held_answer(*pinhole, event, text);
}

HoldAnswer hold(HeldPinhole* pinhole, const GatewayHandle& gateway) {
  pinhole->held = pinhole_apply(kPinholeAdd, pinhole->request, gateway);
  if (pinhole->show_first) pinhole->sink->pinhole_added(pinhole->held);
  if (pinhole->held.error != Error::kOk) {
    HoldAnswer answer = failed(pinhole->held);
    answer.event = "refused";
    answer.text = "not added";
    answer.ending = pinhole_outcome(pinhole->held);
    return answer;
  }
  return held_answer(*pinhole, "added", "");
}

/// This host's address changed (temporary addresses rotate): the pinhole is opened for
/// the new one, and the old one deleted, as far as the router lets it.
HoldAnswer move(HeldPinhole* pinhole, const GatewayHandle& gateway, const std::string& now) {
  const PinholeResult old = pinhole->held;
  pinhole->request.local_address = now;
  HoldAnswer answer = open(pinhole, gateway, "moved", "");
  if (answer.step != HoldStep::kHeld) {
    pinhole->request.local_address = old.request.client;
    return answer;
  }
  answer.internal_client = now;
  int fault = 0;
  const Error error = pinhole_delete(gateway, old.id, &fault);
  answer.text = format_string("this host's address was %s: opened for the new one, ",
                              old.request.client.c_str());
  answer.text += error == Error::kOk || pinhole_gone(error, fault)
                     ? format_string("pinhole %u deleted", old.id)
                     : format_string("pinhole %u not deleted (its lease ends it)", old.id);
  answer.error = error == Error::kOk || pinhole_gone(error, fault) ? Error::kOk : error;
  answer.fault = answer.error == Error::kOk ? 0 : fault;
  return answer;
}

HoldAnswer renew(HeldPinhole* pinhole, const GatewayHandle& gateway) {
  std::string now;
  HoldAnswer answer;
  answer.error = gateway_pinhole_address(gateway, &now);
  if (answer.error != Error::kOk) {
    answer.step = HoldStep::kAway;
    return answer;
  }
  if (now != pinhole->held.request.client) return move(pinhole, gateway, now);
  int fault = 0;
  const Error error =
      pinhole_update(gateway, pinhole->held.id, pinhole->held.request.lease_seconds, &fault);
  if (error == Error::kOk) return held_answer(*pinhole, "renewed", "");
  PinholeResult result = pinhole->held;
  result.error = error;
  result.fault = fault;
  answer = failed(result);
  // The router lost it (a reboot, a lease that ran out): opened again, a new ID.
  if (pinhole_gone(error, fault)) answer.step = HoldStep::kGone;
  return answer;
}

HoldAnswer readd(HeldPinhole* pinhole, const GatewayHandle& gateway) {
  return open(pinhole, gateway, "added again", "the router had lost it");
}

HoldAnswer release(HeldPinhole* pinhole, const GatewayHandle& gateway) {
  int fault = 0;
  PinholeResult result = pinhole->held;
  result.error = pinhole_delete(gateway, result.id, &fault);
  result.fault = fault;
  if (result.error == Error::kOk || pinhole_gone(result.error, fault)) {
    HoldAnswer answer;
    answer.step = HoldStep::kGone;
    answer.event = "removed";
    if (result.error != Error::kOk) answer.text = "the router had it no more";
    return answer;
  }
  HoldAnswer answer = failed(result);
  answer.event = "not removed";
  return answer;
}

}  // namespace

HeldEntry hold_pinhole(const RequestRecord& request, HoldSink* sink, bool show_first) {
  auto pinhole = std::make_shared<HeldPinhole>();
  pinhole->request = request;
  pinhole->sink = sink;
  // What the events name until the first add fills it in: a stop may come first.
  pinhole->held.code = kPinholeAdd;
  pinhole->held.request.client = request.local_address;
  pinhole->held.request.port = request.pinhole_port;
  pinhole->held.request.protocol = protocol_number(request.protocol);
  pinhole->held.request.lease_seconds = request.pinhole_lease;
  pinhole->show_first = show_first;
  HeldEntry entry;
  entry.lease_seconds = request.pinhole_lease;
  entry.kind = hold_kind(pinhole, hold, renew, readd, release, subject);
  entry.sink = sink;
  return entry;
}
