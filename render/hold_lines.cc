#include "render/hold_lines.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "base/format.h"
#include "base/protocol.h"
#include "base/text.h"
#include "base/trace.h"
#include "gateway/reach.h"
#include "render/console.h"
#include "render/json.h"
#include "render/json_text.h"
#include "render/screens_change.h"
#include "render/screens_pinhole.h"

namespace {

using nlohmann::json;

/// Every line ends up here: texts from routers are made printable, as on screen.
void text_line(const std::string& line) {
  std::fputs((text_printable(line) + "\n").c_str(), stderr);
  std::fflush(stderr);
}

void json_line(const std::string& line) {
  console_write(line);
  std::fflush(stdout);
}

/// The router's words of a failed step: its error, and its UPnP error where it named one.
std::string router_said(const HoldAnswer& answer) {
  std::string said = answer.error != Error::kOk ? trace_error(answer.error) : "";
  if (answer.fault != 0) said += format_string(" (UPnP error %d)", answer.fault);
  return said;
}

/// Whether the event leaves the entry held (its lease is told), as a removal does not.
bool held_now(const HoldEvent& event) {
  return event.answer.step == HoldStep::kHeld && std::string(event.name) != "removed";
}

void forwarding_line(const HoldEvent& event, bool as_json) {
  const HoldAnswer& answer = event.answer;
  const MappingRequest& m = *event.subject.forwarding;
  const std::string said = router_said(answer);
  if (as_json) {
    const int64_t lease = answer.step == HoldStep::kHeld ? answer.lease_seconds : -1;
    const bool changed = std::string(event.name) == "changed";
    json_line(json_event_line(event.time, event.name, answer.text, m, lease, said,
                              changed ? answer.external_address : std::string(),
                              answer.step == HoldStep::kHeld && answer.permanent));
    return;
  }
  text_line(format_string("%s %s: %s %u -> %s:%u%s%s%s%s", event.time.c_str(), event.name,
                          m.protocol.c_str(), m.external_port, m.client.c_str(), m.internal_port,
                          answer.text.empty() ? "" : ", ", answer.text.c_str(),
                          said.empty() ? "" : "; router: ", said.c_str()));
}

void pinhole_line(const HoldEvent& event, bool as_json) {
  const HoldAnswer& answer = event.answer;
  const PinholeResult& held = *event.subject.pinhole;
  const std::string said = router_said(answer);
  if (as_json) {
    json_line(
        json_pinhole_event_line(event.time, event.name, answer.text, held.id, held.request, said));
    return;
  }
  const PinholeRequest& r = held.request;
  text_line(format_string("%s %s: pinhole %u, %s [%s]:%u%s%s%s%s", event.time.c_str(), event.name,
                          held.id, protocol_name(static_cast<uint8_t>(r.protocol)),
                          r.client.c_str(), r.port, answer.text.empty() ? "" : ", ",
                          answer.text.c_str(), said.empty() ? "" : "; router: ", said.c_str()));
}

/// A PCP pinhole's line reads as a UPnP pinhole's, with PCP named.
void pcp_pinhole_line(const HoldEvent& event, bool as_json) {
  const HoldAnswer& answer = event.answer;
  const PortmapRequest& m = *event.subject.mapping;
  const std::string error = answer.error != Error::kOk ? trace_error(answer.error) : "";
  if (as_json) {
    const PinholeRequest shown{m.internal_address, m.internal_port, m.protocol,
                               held_now(event) ? event.subject.lifetime : m.lifetime};
    json_line(json_pinhole_event_line(event.time, event.name, answer.text, 0, shown, error,
                                      event.subject.via));
    return;
  }
  text_line(format_string("%s %s: PCP pinhole, %s [%s]:%u%s%s%s%s", event.time.c_str(), event.name,
                          protocol_name(m.protocol), m.internal_address.c_str(), m.internal_port,
                          answer.text.empty() ? "" : ", ", answer.text.c_str(),
                          error.empty() ? "" : "; gateway: ", error.c_str()));
}

std::string mapping_json(const HoldEvent& event) {
  const HoldAnswer& answer = event.answer;
  const PortmapRequest& m = *event.subject.mapping;
  json line = {{"time", event.time},
               {"event", event.name},
               {"text", answer.text},
               {"protocol_used", map_via_name(event.subject.via)},
               {"protocol", protocol_name(m.protocol)},
               {"external_port", m.external_port},
               {"internal_client", m.internal_address},
               {"internal_port", m.internal_port}};
  line["lease_seconds"] = held_now(event) ? json(event.subject.lifetime) : json(nullptr);
  if (answer.error != Error::kOk) line["error"] = trace_error(answer.error);
  if (!answer.external_address.empty()) {
    const Reach reach = reach_of(answer.external_address);
    line["reachable_from_internet"] =
        reach == Reach::kUnknown ? json(nullptr) : json(!reach_blocked(reach));
    line["unreachable_reason"] = reach_blocked(reach) ? json(reach_reason(reach)) : json(nullptr);
  }
  return json_text(line);
}

void mapping_line(const HoldEvent& event, bool as_json) {
  if (!event.subject.reach_note.empty()) {
    std::fputs(event.subject.reach_note.c_str(), stderr);
    std::fflush(stderr);
  }
  if (as_json) {
    json_line(mapping_json(event));
    return;
  }
  const HoldAnswer& answer = event.answer;
  const PortmapRequest& m = *event.subject.mapping;
  text_line(format_string("%s %s: %s %s %u -> %s:%u%s%s", event.time.c_str(), event.name,
                          map_via_title(event.subject.via), protocol_name(m.protocol),
                          m.external_port, m.internal_address.c_str(), m.internal_port,
                          answer.text.empty() ? "" : ", ", answer.text.c_str()));
}

class HoldLines : public HoldSink {
 public:
  explicit HoldLines(bool as_json) : json_(as_json) {}

  void entry_event(const HoldEvent& event) override {
    switch (event.subject.what) {
      case HeldSubject::What::kForwarding:
        return forwarding_line(event, json_);
      case HeldSubject::What::kPinhole:
        return pinhole_line(event, json_);
      case HeldSubject::What::kPcpPinhole:
        return pcp_pinhole_line(event, json_);
      case HeldSubject::What::kMapping:
        return mapping_line(event, json_);
    }
  }

  void forwarding_added(const RequestRecord& request, const AddResult& result) override {
    if (!json_) add_show(request, result);
  }

  void pinhole_added(const PinholeResult& result) override {
    if (!json_) pinhole_show(result);
  }

  void set_event(const std::string& time, const char* name, const std::string& text) override {
    if (json_) {
      json_line(json_text({{"time", time}, {"event", name}, {"text", text}}));
      return;
    }
    text_line(time + " " + name + ": " + text);
  }

  void note(const std::string& line) override { text_line(line); }

  void reach_note(const std::string& text) override {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }

 private:
  bool json_;
};

}  // namespace

std::unique_ptr<HoldSink> hold_lines(bool json) {
  return std::make_unique<HoldLines>(json);
}
