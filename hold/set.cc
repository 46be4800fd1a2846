#include "hold/set.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/clock.h"
#include "base/file.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/text.h"
#include "base/trace.h"
#include "cli/grammar.h"
#include "flows/failure.h"
#include "flows/pinhole.h"
#include "flows/portmap.h"
#include "gateway/discovery.h"
#include "gateway/external_address.h"
#include "gateway/local_address.h"
#include "gateway/reach.h"
#include "hold/forwarding.h"
#include "hold/hook.h"
#include "hold/loop.h"
#include "hold/pinhole.h"
#include "hold/portmap.h"
#include "net/socket.h"
#include "net/ssdp.h"
#include "portmap/route.h"

using nlohmann::json;

namespace {

bool read_file(const std::string& path, std::string* text, std::string* problem) {
  const FileRead read = file_read(path, static_cast<size_t>(kHoldFileBytesMax), text, problem);
  if (read == FileRead::kTooLong) *problem = path + ": longer than 1 MiB";
  return read == FileRead::kOk;
}

bool read_set(const std::string& path, std::vector<HoldLine>* lines, std::string* problem) {
  std::string text;
  return read_file(path, &text, problem) && hold_parse(text, path, lines, problem);
}

// ---- The set while it is held ----

/// What the status file and the hook say of one entry.
struct Facts {
  std::string protocol;
  unsigned external_port = 0;
  std::string client;
  unsigned internal_port = 0;
  std::string description;
  std::string via;
  std::string external_address;
  std::string state = "away";
  int64_t lease_seconds = 0;        // as granted; 0 with `permanent`
  int64_t renew_lease_seconds = 0;  // the lease it is renewed by
  bool permanent = false;
  std::string last_renewal;
  std::string next_renewal;
  std::string last_error;
  std::string key;                      // its line's words
  unsigned previous_external_port = 0;  // at a `changed` of the port granted: the one before
  bool listed = false;                  // told of once at least
  bool removed = false;
};

struct HoldSet {
  HoldSetOptions options;
  std::shared_ptr<PortmapServer> portmap;   // the NAT-PMP/PCP gateway, once a line needs it
  std::shared_ptr<PortmapServer> portmap6;  // the IPv6 one, once a PCP pinhole needs it
  bool upnp_found = false;                  // the UPnP router (and IPv6 router) found
  std::vector<std::string> hook;
  std::unique_ptr<HookQueue> hooks;           // runs the hook beside the loop
  std::vector<std::shared_ptr<Facts>> facts;  // in the order they were first told of
  RequestRecord base;                         // both addresses toward the IPv4 router
  std::shared_ptr<GatewayHandle> firewall;    // the IPv6 router of pinholes, beside IPv4
  std::string firewall_local;
  HoldSink* lines = nullptr;         // the run's event lines
  std::unique_ptr<HoldSink> report;  // the entries' sink: facts, then lines, then hook
  std::map<std::string, std::shared_ptr<Facts>> facts_of;  // by the entries' keys
};

/// An event of the set as a whole (or of its hook).
void set_event(const HoldSet& set, const char* name, const std::string& text) {
  set.lines->set_event(keep_utc_now(), name, text);
}

json nullable(const std::string& text) {
  return text.empty() ? json(nullptr) : json(text_printable(text));
}

/// Writes the status file whole beside itself, then puts it in place.
void write_status(const HoldSet& set) {
  if (set.options.status_file.empty()) return;
  json entries = json::array();
  for (const auto& facts : set.facts) {
    if (facts->removed || !facts->listed) continue;
    entries.push_back({{"protocol", facts->protocol},
                       {"external_port", facts->external_port},
                       {"internal_client", text_printable(facts->client)},
                       {"internal_port", facts->internal_port},
                       {"description", text_printable(facts->description)},
                       {"via", facts->via},
                       {"state", facts->state},
                       {"lease_seconds", facts->lease_seconds},
                       {"permanent", facts->permanent},
                       {"last_renewal", nullable(facts->last_renewal)},
                       {"next_renewal", nullable(facts->next_renewal)},
                       {"external_address", nullable(facts->external_address)},
                       {"last_error", nullable(facts->last_error)}});
  }
  const std::string text =
      json({{"entries", entries}}).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  std::string problem;
  if (!file_replace(set.options.status_file, text, &problem, FileSync::kCached)) {
    set_event(set, "status-failed", problem);
  }
}

std::string entry_name(const Facts& facts) {
  return format_string("%s %u -> %s:%u", facts.protocol.c_str(), facts.external_port,
                       facts.client.c_str(), facts.internal_port);
}

/// What the hook is told of the entry's event: every text as the screens and the status
/// file show it (a router's or a file's text may hold line breaks and controls).
HookEnvironment hook_environment(const Facts& facts, const char* event) {
  HookEnvironment environment = {
      {"PORTWRANGLER_EVENT", event},
      {"PORTWRANGLER_PROTOCOL", facts.protocol},
      {"PORTWRANGLER_EXTERNAL_ADDRESS", facts.external_address},
      {"PORTWRANGLER_EXTERNAL_PORT", std::to_string(facts.external_port)},
      {"PORTWRANGLER_INTERNAL_CLIENT", facts.client},
      {"PORTWRANGLER_INTERNAL_PORT", std::to_string(facts.internal_port)},
      {"PORTWRANGLER_DESCRIPTION", facts.description},
      {"PORTWRANGLER_VIA", facts.via},
  };
  // Only where the port itself changed: a hook that closes the old one finds it here.
  if (std::string(event) == "changed" && facts.previous_external_port != 0) {
    environment.push_back(
        {"PORTWRANGLER_PREVIOUS_EXTERNAL_PORT", std::to_string(facts.previous_external_port)});
  }
  for (auto& name_value : environment) name_value.second = text_printable(name_value.second);
  return environment;
}

/// Queues the hook for `event` of the entry: the loop goes on while it runs.
void run_hook(HoldSet* set, const Facts& facts, const char* event) {
  if (!set->hooks) return;
  set->hooks->add({set->hook, hook_environment(facts, event), entry_name(facts) + ", " + event});
}

/// A hook's end: a `hook-failed` event unless it ended well.
void hook_ended(const HoldSet& set, const HookJob& job, const HookResult& result) {
  std::string failed;
  if (result.cancelled) {
    failed = result.started ? "ended: the holding ended" : "not run: the holding ended";
  } else if (!result.started) {
    failed = "cannot be run: " + result.problem;
  } else if (result.timed_out) {
    failed = format_string("ran past %d s: stopped", kHookMs / 1000);
  } else if (result.exit_code != 0) {
    failed = format_string("ended with exit status %d", result.exit_code);
  }
  if (!failed.empty()) set_event(set, "hook-failed", job.name + ": " + set.hook[0] + " " + failed);
}

/// The ports a held answer names (a gateway's choice with --any-port): the one before
/// kept for a `changed` hook.
void follow_ports(Facts* facts, const HoldAnswer& answer) {
  facts->previous_external_port = 0;
  if (answer.external_port != 0 && answer.external_port != facts->external_port) {
    facts->previous_external_port = facts->external_port;
    facts->external_port = answer.external_port;
  }
  if (answer.internal_port != 0) facts->internal_port = answer.internal_port;
}

/// Follows an entry's event into its facts and the status file; the hook's event for it,
/// or null.
const char* follow_event(HoldSet* set, const std::shared_ptr<Facts>& facts,
                         const std::string& event, const HoldAnswer& answer) {
  if (!facts->listed) {
    facts->listed = true;
    set->facts.push_back(facts);
  }
  const bool was_held = facts->state == "held" && !facts->removed;
  const char* hook_event = nullptr;
  if (answer.step == HoldStep::kHeld && event != "removed" && event != "stopped") {
    facts->state = "held";
    facts->removed = false;
    if (answer.lease_seconds > 0 || answer.permanent) facts->lease_seconds = answer.lease_seconds;
    facts->permanent = answer.permanent;
    if (answer.renew_lease_seconds > 0 || answer.lease_seconds > 0) {
      facts->renew_lease_seconds =
          answer.renew_lease_seconds > 0 ? answer.renew_lease_seconds : answer.lease_seconds;
    }
    facts->last_renewal = keep_utc_now();
    facts->next_renewal = keep_utc_after(keep_renew_ms(facts->renew_lease_seconds) / 1000);
    facts->last_error.clear();
    if (!answer.external_address.empty()) {
      facts->external_address = hold_router_address(answer.external_address);
    }
    if (!answer.internal_client.empty())
      facts->client = hold_router_address(answer.internal_client);
    follow_ports(facts.get(), answer);
    if (event == "moved" || event == "changed") {
      hook_event = "changed";
    } else if (!was_held) {
      hook_event = "added";
    }
  } else if (event == "lost") {
    facts->state = "away";
    facts->next_renewal.clear();
    hook_event = "lost";
  } else if (event == "taken") {
    facts->state = "taken";
    facts->next_renewal = keep_utc_after(kHoldTakenRecheckMs / 1000);
    hook_event = "taken";
  } else if (event == "removed" || event == "stopped" || event == "not removed" ||
             event == "remove failed") {
    facts->removed = true;
    if (was_held) hook_event = "removed";
  } else if (answer.step == HoldStep::kAway) {
    facts->state = "away";
  }
  if (answer.error != Error::kOk) {
    facts->last_error = trace_error(answer.error);
    if (answer.fault != 0) facts->last_error += format_string(" (UPnP error %d)", answer.fault);
  } else if (answer.step == HoldStep::kRefused || answer.step == HoldStep::kConflict) {
    facts->last_error = answer.text;
  }
  write_status(*set);
  return hook_event;
}

/// Every operation of `kind` against `gateway` rather than the loop's router.
void bind_to(HoldKind* kind, std::shared_ptr<GatewayHandle> gateway) {
  for (auto* op : {&kind->hold, &kind->renew, &kind->readd, &kind->release}) {
    auto inner = *op;
    // The loop's step sets the time its exchanges have: this router's take the same.
    *op = [inner, gateway](const GatewayHandle& loop) {
      gateway->deadline = loop.deadline;
      return inner(*gateway);
    };
  }
}

/// The entries' sink: each event is followed into the entry's facts and the status file
/// first (a reader woken by the event line finds it told there too), then told on the
/// run's lines, then handed to the hook.
class SetReport : public HoldSink {
 public:
  explicit SetReport(HoldSet* set) : set_(set) {}

  void entry_event(const HoldEvent& event) override {
    const auto found = set_->facts_of.find(event.key);
    if (found == set_->facts_of.end()) return set_->lines->entry_event(event);
    const std::shared_ptr<Facts> facts = found->second;
    const char* hook_event = follow_event(set_, facts, event.name, event.answer);
    set_->lines->entry_event(event);
    if (hook_event != nullptr) run_hook(set_, *facts, hook_event);
  }
  void forwarding_added(const RequestRecord& request, const AddResult& result) override {
    set_->lines->forwarding_added(request, result);
  }
  void pinhole_added(const PinholeResult& result) override { set_->lines->pinhole_added(result); }
  void set_event(const std::string& time, const char* name, const std::string& text) override {
    set_->lines->set_event(time, name, text);
  }
  void note(const std::string& line) override { set_->lines->note(line); }
  void reach_note(const std::string& text) override { set_->lines->reach_note(text); }

 private:
  HoldSet* set_;
};

HeldEntry entry_of(HoldSet* set, const HoldLine& line) {
  RequestRecord request = line.request;
  auto facts = std::make_shared<Facts>();
  facts->via = line.via;
  facts->key = line.key;
  HeldEntry entry;
  if (line.via != "upnp" && line.code == kPinholeAdd) {
    entry = hold_pcp_pinhole(request, set->portmap6, set->report.get());
    facts->protocol = request.protocol;
    facts->external_port = facts->internal_port = request.pinhole_port;
    facts->client = set->portmap6->gateway.source;
    facts->lease_seconds = facts->renew_lease_seconds = request.pinhole_lease;
  } else if (line.via != "upnp") {
    RunOptions options;
    options.json = set->options.json;
    options.lease_seconds = static_cast<long>(request.lease_seconds);
    options.any_port = request.any_port;
    options.same_port = request.same_port;
    entry = hold_portmap(line.via == "pcp" ? MapVia::kPcp : MapVia::kNatpmp, request, set->portmap,
                         options, set->report.get());
    facts->protocol = request.protocol;
    facts->external_port = request.external_port;
    facts->internal_port = request.internal_port;
    facts->client = client_asked(request, set->portmap->gateway.source);
    facts->description = request.description;
    facts->lease_seconds = facts->renew_lease_seconds = request.lease_seconds;
  } else if (line.code == kPinholeAdd) {
    request.local_address = set->firewall_local;
    entry = hold_pinhole(request, set->report.get(), false);
    if (set->firewall) bind_to(&entry.kind, set->firewall);
    facts->protocol = request.protocol;
    facts->external_port = facts->internal_port = request.pinhole_port;
    facts->client = request.local_address;
    facts->lease_seconds = facts->renew_lease_seconds = request.pinhole_lease;
  } else {
    request.local_address = set->base.local_address;
    request.external_address = set->base.external_address;
    entry = hold_forwarding(request, set->report.get(), true);
    facts->protocol = request.protocol;
    facts->external_port = request.external_port;
    facts->internal_port = request.internal_port;
    facts->client = client_asked(request, request.local_address);
    facts->description = request.description;
    facts->external_address = hold_router_address(request.external_address);
    facts->lease_seconds = facts->renew_lease_seconds = request.lease_seconds;
  }
  for (char& c : facts->protocol)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  entry.key = line.key;
  entry.retry_taken = true;
  // A reload makes every line's entry anew, and the loop keeps those of the keys it holds:
  // their facts stay the ones their events have followed.
  const auto known = set->facts_of.find(line.key);
  if (known == set->facts_of.end() || known->second->removed) set->facts_of[line.key] = facts;
  entry.sink = set->report.get();
  return entry;
}

/// The router of the set's forwardings (or, with pinholes alone, of its pinholes) and
/// this host's addresses toward it; the IPv6 router beside it where both are held.
Outcome find_upnp(bool forwardings, bool pinholes, HoldSet* set, DiscoveryOptions* discovery,
                  GatewayHandle* gateway) {
  // From here on the run waits for the network, and never longer than its bound.
  *discovery = {set->options.url, set->options.interface_name, !forwardings,
                deadline_in(kRunSeconds * 1000LL)};
  // As a plain command's search: the router at the link's default gateway first.
  if (forwardings) discovery->default_gateway = route_default_gateway_found;
  Error error = discover_gateway(*discovery, gateway);
  if (error == Error::kGatewayNoFirewall) {
    return failed_step("discovery", error, Status::kNoFirewall, kMessageNoFirewall);
  }
  if (error != Error::kOk)
    return failed_step("discovery", error, Status::kNoRouter, kMessageNoRouter);
  error = gateway_local_address(*gateway, &set->base.local_address);
  if (error != Error::kOk) {
    return failed_step("local address", error, Status::kNoLocalAddress, kMessageNoLocalAddress);
  }
  if (!forwardings) {
    error = gateway_pinhole_address(*gateway, &set->firewall_local);
    return error == Error::kOk ? Outcome{Status::kSuccess, ""} : failed_local_address(error);
  }
  error = gateway_external_address(*gateway, &set->base.external_address);
  if (error != Error::kOk) {
    return failed_step("external address", error, Status::kNoExternalAddress,
                       kMessageNoExternalAddress);
  }
  // As a one-shot command says it.
  set->lines->reach_note(reach_note(reach_of(set->base.external_address)));
  if (!pinholes) return {Status::kSuccess, ""};
  set->firewall = std::make_shared<GatewayHandle>();
  error =
      discover_gateway({set->options.url, set->options.interface_name, true, discovery->deadline},
                       set->firewall.get());
  if (error != Error::kOk) {
    return failed_step("discovery", error, Status::kNoFirewall, kMessageNoFirewall);
  }
  error = gateway_pinhole_address(*set->firewall, &set->firewall_local);
  if (error != Error::kOk) return failed_local_address(error);
  return {Status::kSuccess, ""};
}

/// The routers the lines need and the set has not found yet: the UPnP ones (see
/// find_upnp), and one gateway for every NAT-PMP/PCP line (--gateway, or the default
/// route's).
Outcome find_routers(const std::vector<HoldLine>& lines, HoldSet* set, DiscoveryOptions* discovery,
                     GatewayHandle* gateway) {
  bool forwardings = false;
  bool pinholes = false;
  bool mappings[2] = {false, false};  // IPv4 mappings, PCP pinholes
  for (const HoldLine& line : lines) {
    if (line.via != "upnp") {
      mappings[line.code == kPinholeAdd ? 1 : 0] = true;
    } else {
      (line.code == kPinholeAdd ? pinholes : forwardings) = true;
    }
  }
  for (const bool ipv6 : {false, true}) {
    std::shared_ptr<PortmapServer>& server = ipv6 ? set->portmap6 : set->portmap;
    if (!mappings[ipv6 ? 1 : 0] || server) continue;
    RunOptions options;
    // --gateway names the gateway of its own address family; the other is the default
    // route's.
    if (net_host_is_v6(set->options.gateway) == ipv6) options.gateway = set->options.gateway;
    options.interface_name = set->options.interface_name;
    PortmapGateway found;
    const Error error = portmap_find_gateway(options, &found, ipv6);
    if (error == Error::kSocketNoGlobalIpv6) return failed_local_address(error);
    if (error != Error::kOk) {
      return failed_step("gateway", error, Status::kPortmapNoGateway, kMessageNoPortmapGateway);
    }
    server = portmap_server(found);
  }
  if ((!forwardings && !pinholes) || set->upnp_found) return {Status::kSuccess, ""};
  const Outcome found = find_upnp(forwardings, pinholes, set, discovery, gateway);
  set->upnp_found = found.status == Status::kSuccess;
  return found;
}

/// The listener of the NAT-PMP/PCP gateway `*server`, which the set finds once a line
/// needs it: none until then.
HoldListener gateway_listener(const std::shared_ptr<PortmapServer>* server, const char* router) {
  HoldListener listener;
  listener.router = router;
  listener.sockets = [server]() {
    return *server ? portmap_listener(*server).sockets() : std::vector<long long>{};
  };
  listener.heard = [server]() { return *server ? portmap_listener(*server).heard() : -1; };
  return listener;
}

/// Whether `text` is a dotted quad: four decimal numbers to 255, none with a leading 0.
bool is_ipv4(const std::string& text) {
  size_t at = 0;
  for (int parts = 1; parts <= 4; ++parts) {
    size_t end = text.find('.', at);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(at, end - at);
    if (part.empty() || part.size() > 3 || !is_all_digits(part.c_str()) ||
        (part.size() > 1 && part[0] == '0') || std::strtol(part.c_str(), nullptr, 10) > 255) {
      return false;
    }
    if (end == text.size()) return parts == 4;
    at = end + 1;
  }
  return false;
}

/// Whether `text` is an IPv6 address's text: eight groups of one to four hex digits, one
/// run of them left out as "::", the last two may be a dotted quad.
bool is_ipv6(const std::string& text) {
  if (text.size() < 2 || text.size() > 45 || (text[0] == ':' && text[1] != ':')) return false;
  int groups = 0;
  bool elided = text.compare(0, 2, "::") == 0;
  size_t at = elided ? 2 : 0;
  while (at < text.size()) {
    const size_t end = text.find(':', at);
    const std::string group = text.substr(at, end == std::string::npos ? end : end - at);
    if (end == std::string::npos && group.find('.') != std::string::npos) {
      if (!is_ipv4(group)) return false;
      groups += 2;
      break;
    }
    if (group.empty() || group.size() > 4 ||
        group.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      return false;
    }
    ++groups;
    if (end == std::string::npos) break;
    at = end + 1;
    if (at < text.size() && text[at] == ':') {
      if (elided) return false;
      elided = true;
      ++at;
    } else if (at == text.size()) {
      return false;  // a lone ':' at the end
    }
  }
  return elided ? groups < 8 : groups == 8;
}

}  // namespace

std::string hold_router_address(const std::string& text) {
  return is_ipv4(text) || is_ipv6(text) ? text : std::string();
}

namespace {

/// The set's hook and its file, before any router is looked for: kSuccess with its lines,
/// else a bad command line or file, `*problem` saying why.
Outcome set_start(HoldSet* set, std::vector<HoldLine>* lines, std::string* problem) {
  const HoldSetOptions& options = set->options;
  if (!options.on_change.empty()) {
    std::string wrong;
    if (!hold_split_words(options.on_change, &set->hook, &wrong) || set->hook.empty()) {
      *problem = "--on-change: " + (wrong.empty() ? std::string("no command") : wrong);
      return {Status::kSyntaxError, kMessageSyntax};
    }
  }
  if (!set->hook.empty()) {
    set->hooks = std::make_unique<HookQueue>(
        kHookMs, [set](const std::string& line) { set->lines->note("hook: " + line); },
        [set](const HookJob& job, const HookResult& result) { hook_ended(*set, job, result); });
  }
  keep_platform_reload_file(options.file);
  if (!read_set(options.file, lines, problem)) return {Status::kSyntaxError, kMessageSyntax};
  if (lines->empty()) {
    // Nothing to find a router for (a reload may empty a set that runs, though).
    *problem = options.file + ": holds no entry";
    return {Status::kSyntaxError, kMessageSyntax};
  }
  return {Status::kSuccess, ""};
}

/// Reads the set again for a reload: true with the entries wanted now; false, told, when
/// the file or a router it needs now cannot be had (the set is held as it was).
bool set_reread(HoldSet* set, DiscoveryOptions* discovery, GatewayHandle* gateway,
                std::vector<HeldEntry>* wanted) {
  std::vector<HoldLine> again;
  std::string wrong;
  if (!read_set(set->options.file, &again, &wrong)) {
    set_event(*set, "reload-failed", wrong + "; the set is held as it was");
    return false;
  }
  // A line of a protocol the set did not speak yet needs its router found first.
  const Outcome found = find_routers(again, set, discovery, gateway);
  if (found.status != Status::kSuccess) {
    set_event(*set, "reload-failed",
              set->options.file + ": " + found.message + "; the set is held as it was");
    return false;
  }
  std::vector<std::shared_ptr<Facts>> kept;
  for (auto& facts : set->facts) {
    // A port another host holds has nothing of ours to remove: its line gone, it goes.
    bool still = false;
    for (const HoldLine& line : again) still = still || line.key == facts->key;
    if (!still && facts->state == "taken") facts->removed = true;
    if (!facts->removed) kept.push_back(std::move(facts));
  }
  set->facts = std::move(kept);
  for (const HoldLine& line : again) wanted->push_back(entry_of(set, line));
  set_event(*set, "reloaded",
            format_string("%s: %zu entries", set->options.file.c_str(), again.size()));
  return true;
}

/// What the UPnP router's announcements told so far.
struct UpnpAnnouncements {
  Socket listener;
  std::string boot_id;
  bool leaving = false;
};

/// The router's announcements: a daemon that restarts says so (ssdp:byebye, then
/// ssdp:alive with a new boot ID), and its table is likely empty.
HoldListener upnp_listener(UpnpAnnouncements* heard, const GatewayHandle* gateway) {
  if (ssdp_listen(&heard->listener) != Error::kOk) {
    trace("hold: the router's announcements are not heard");
  }
  HoldListener listener;
  listener.router = kHoldRouterUpnp;
  listener.sockets = [heard]() {
    return heard->listener ? std::vector<long long>{heard->listener->descriptor}
                           : std::vector<long long>{};
  };
  listener.heard = [heard, gateway]() {
    bool restarted = false;
    SsdpReply datagram;
    for (int i = 0; heard->listener && i < kSsdpRepliesAtOnce &&
                    ssdp_receive_reply(heard->listener.get(), 0, &datagram) == Error::kOk;
         ++i) {
      std::string id;
      const Announcement said = gateway_announcement(datagram.text, datagram.sender, *gateway, &id);
      if (said == Announcement::kLeaving) heard->leaving = true;
      if (said != Announcement::kAlive) continue;
      restarted = restarted || heard->leaving || (!heard->boot_id.empty() && id != heard->boot_id);
      heard->leaving = false;
      if (!id.empty()) heard->boot_id = id;
    }
    if (restarted) trace("hold: the router started again: every entry is looked at");
    return restarted ? 0 : -1;
  };
  return listener;
}

}  // namespace

Outcome hold_set_run(const HoldSetOptions& options, std::string* problem) {
  HoldSet set;
  set.options = options;
  set.lines = options.lines;
  set.report = std::make_unique<SetReport>(&set);
  std::vector<HoldLine> lines;
  const Outcome started = set_start(&set, &lines, problem);
  if (started.status != Status::kSuccess) return started;

  DiscoveryOptions discovery;
  GatewayHandle gateway;
  const Outcome found = find_routers(lines, &set, &discovery, &gateway);
  if (found.status != Status::kSuccess && net_stop_asked()) {
    // Stopped before anything was held: nothing to remove, and no failure.
    set_event(set, "stopped", "before anything was added");
    return {Status::kSuccess, ""};
  }
  if (found.status != Status::kSuccess) return found;

  std::vector<HeldEntry> entries;
  for (const HoldLine& line : lines) entries.push_back(entry_of(&set, line));
  write_status(set);
  HoldSetCalls calls;
  calls.reread = [&set, &discovery, &gateway](std::vector<HeldEntry>* wanted) {
    return set_reread(&set, &discovery, &gateway, wanted);
  };
  UpnpAnnouncements heard;
  // The NAT-PMP/PCP gateways' announcements, once a line is held through them: the IPv4
  // one's on 224.0.0.1, the IPv6 one's (PCP pinholes) on ff02::1.
  const std::vector<HoldListener> listeners = {
      upnp_listener(&heard, &gateway), gateway_listener(&set.portmap, kHoldRouterPortmap),
      gateway_listener(&set.portmap6, kHoldRouterPortmap6)};
  const Outcome outcome =
      hold_run(&entries, &gateway, discovery, keep_platform_waiter(true), &calls, listeners);
  // The removals' hooks have a short while of their own; what still runs then is ended.
  if (set.hooks) set.hooks->finish(kHookStopGraceMs);
  return outcome;
}
