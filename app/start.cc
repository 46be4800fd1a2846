#include "app/start.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "base/clock.h"
#include "base/limits.h"
#include "base/trace.h"
#include "flows/failure.h"
#include "flows/portmap.h"
#include "flows/probe.h"
#include "gateway/external_address.h"
#include "gateway/local_address.h"
#include "portmap/route.h"
#include "render/screens_start.h"

namespace {

const Outcome kReady{Status::kSuccess, ""};

/// The failure to find the NAT-PMP/PCP gateway, or a pinhole's address beside it.
Outcome failed_gateway(Error error) {
  if (error == Error::kSocketNoGlobalIpv6) return failed_local_address(error);
  return failed_step("gateway", error, Status::kPortmapNoGateway, kMessageNoPortmapGateway);
}

bool is_portmap_command(int code) {
  return is_add_command(code) || code == kRemove || code == kStats;
}

/// Whether PCP can carry the pinhole command `code` (its IPv6 MAP opens the firewall).
bool is_pcp_pinhole_command(int code) {
  return code == kPinholeAdd || code == kPinholeRemove;
}

/// The UPnP search, with the probe for a NAT-PMP/PCP server (when there is one) stepped in
/// its wait; auto ends the search once the probe's server is worth more than what the
/// search may still bring. The probe is finished when the search failed before it did.
Error search_beside_probe(const DiscoveryOptions& discovery, PortmapProbe* probe, bool auto_race,
                          GatewayHandle* gateway) {
  if (probe == nullptr) return discover_gateway(discovery, gateway);
  SearchCompanion companion = probe_companion({&probe->ask});
  if (auto_race) {
    const auto arm = companion.arm;
    // Woken at the mark, where the probe found a server before it.
    companion.arm = [arm, probe](int elapsed_ms, std::vector<SocketWait>* waits) {
      int left = arm(elapsed_ms, waits);
      if (portmap_probe_found(*probe) != ProbeFound::kNothing &&
          elapsed_ms < kAutoUpnpWaitMilliseconds) {
        const int mark = kAutoUpnpWaitMilliseconds - elapsed_ms;
        left = left < 0 ? mark : std::min(left, mark);
      }
      return left;
    };
    companion.enough = [probe](int elapsed_ms, int pending_reply_ms) {
      return probe_has_enough(portmap_probe_found(*probe), elapsed_ms, pending_reply_ms);
    };
  }
  const Error error = discover_gateway(discovery, gateway, &companion);
  if (error != Error::kOk) probe_finish({&probe->ask});
  return error;
}

/// The command line's command and how its search is to go: kSuccess when it is one the
/// run can take.
Outcome read_command(int argc, char** argv, const RunOptions& options, Prepared* run) {
  RequestRecord& request = run->request;
  int count = argc - 1;
  if (take_quick_option(argc, argv)) {
    request.quick = true;
    --count;
  }
  run->code = parse_command(count, argv, &request);
  if (run->code == kSyntaxError) return {Status::kSyntaxError, kMessageSyntax};
  if (run->code == kHelp) return {Status::kHelp, kMessageSyntax};
  if (!options_fit_command(options, run->code, request, &run->problem)) {
    return {Status::kSyntaxError, kMessageSyntax};
  }
  // A pinhole is asked for over IPv6, for the address the request comes from.
  run->discovery = {options.url, options.interface_name, is_pinhole_command(run->code)};
  // The search prefers the router at the link's default gateway.
  run->discovery.default_gateway = route_default_gateway_found;
  // A mistyped interface is the command line's fault, told before any search.
  if (discovery_interface_check(run->discovery) != Error::kOk) {
    run->problem = interface_problem(options);
    return {Status::kSyntaxError, kMessageSyntax};
  }
  return kReady;
}

/// The lease and port choices of the long options, into the request.
void take_lease_options(const RunOptions& options, RequestRecord* request) {
  if (options.lease_seconds > 0) request->lease_seconds = options.lease_seconds;
  request->any_port = options.any_port;
  request->same_port = options.same_port;
  if (options.keep && options.lease_seconds <= 0) request->lease_seconds = kKeepLeaseSeconds;
}

/// Whether the run speaks NAT-PMP or PCP from the start (--protocol, or a pinhole named by
/// protocol and port, PCP's with auto too); `*outcome` is then how finding its gateway
/// went.
bool prepare_portmap(const RunOptions& options, Prepared* run, Outcome* outcome) {
  const bool pcp_pinhole =
      is_pcp_pinhole_command(run->code) &&
      (options.via == MapVia::kPcp || (run->code == kPinholeRemove && run->request.pinhole_id < 0));
  if (options.via != MapVia::kPcp && options.via != MapVia::kNatpmp && !pcp_pinhole) return false;
  run->via = pcp_pinhole ? MapVia::kPcp : options.via;
  *outcome = kReady;
  if (!is_portmap_command(run->code) && !pcp_pinhole) return true;
  const Error error = portmap_find_gateway(options, &run->portmap_gateway, pcp_pinhole);
  if (error != Error::kOk) *outcome = failed_gateway(error);
  return true;
}

/// The probe for a NAT-PMP/PCP server beside the search, where one is wanted: auto's
/// second choice, else the hint. Null when there is none to ask, or no socket for it.
std::unique_ptr<PortmapProbe> start_probe(const RunOptions& options, bool pinhole) {
  std::unique_ptr<PortmapProbe> probe;
  if (options.via == MapVia::kAuto ||
      (options.url.empty() && !pinhole && !options.keep && options.gateway.empty())) {
    probe.reset(new (std::nothrow) PortmapProbe);
    if (probe != nullptr && !portmap_probe_start(options, probe.get())) probe.reset();
  }
  return probe;
}

/// The UPnP router, found by the search; where it is not, auto's NAT-PMP/PCP server (or
/// a pinhole through PCP). `*outcome` tells how it went; true when the run goes on to
/// the router's addresses.
bool find_router(const RunOptions& options, Prepared* run, Outcome* outcome) {
  const bool pinhole = is_pinhole_command(run->code);
  const bool auto_race = options.via == MapVia::kAuto && is_portmap_command(run->code);
  const std::unique_ptr<PortmapProbe> probe = start_probe(options, pinhole);
  Error error = search_beside_probe(run->discovery, probe.get(), auto_race, &run->gateway);
  const ProbeFound found = probe != nullptr ? portmap_probe_found(*probe) : ProbeFound::kNothing;
  *outcome = kReady;
  if (error != Error::kOk && auto_race && found != ProbeFound::kNothing) {
    trace("discovery failed: %s; the gateway answers %s", trace_error(error),
          probe_found_title(found));
    run->via = found == ProbeFound::kPcp ? MapVia::kPcp : MapVia::kNatpmp;
    run->portmap_gateway = probe->gateway;
    return false;
  }
  if (error != Error::kOk && options.via == MapVia::kAuto && pinhole &&
      is_pcp_pinhole_command(run->code)) {
    // No IGD v2 firewall: its pinhole through PCP, whose answer (or none) tells.
    trace("discovery failed: %s; the pinhole goes through PCP", trace_error(error));
    run->via = MapVia::kPcp;
    error = portmap_find_gateway(options, &run->portmap_gateway, true);
    if (error != Error::kOk) *outcome = failed_gateway(error);
    return false;
  }
  if (error != Error::kOk && options.via == MapVia::kUpnp && probe != nullptr) {
    portmap_hint(found, probe->gateway);
  }
  if (error == Error::kGatewayNoFirewall) {
    *outcome = failed_step("discovery", error, Status::kNoFirewall, kMessageNoFirewall);
  } else if (error != Error::kOk) {
    *outcome = failed_step("discovery", error, Status::kNoRouter, kMessageNoRouter);
  }
  return error == Error::kOk;
}

/// This host's address toward the router and, for a forwarding, the router's external
/// address.
Outcome read_addresses(Prepared* run) {
  RequestRecord& request = run->request;
  const bool pinhole = is_pinhole_command(run->code);
  note_choice(run->gateway);
  // A pinhole is this host's IPv6 address; a forwarding's client is an IPv4 one, even
  // when the router was reached over IPv6.
  Error error = pinhole ? gateway_pinhole_address(run->gateway, &request.local_address)
                        : gateway_local_ipv4(run->gateway, &request.local_address);
  if (error != Error::kOk) return failed_local_address(error);
  if (pinhole) return kReady;
  error = gateway_external_address(run->gateway, &request.external_address);
  if (error != Error::kOk) {
    return failed_step("external address", error, Status::kNoExternalAddress,
                       kMessageNoExternalAddress);
  }
  note_reach(request.external_address);
  return kReady;
}

}  // namespace

std::string interface_problem(const RunOptions& options) {
  return "--interface: no interface named \"" + options.interface_name + "\" can carry the search";
}

bool is_add_command(int code) {
  return code == kAdd || code == kAddWithDescription || code == kAddClient ||
         code == kAddClientWithDescription;
}

Outcome prepare(int argc, char** argv, const RunOptions& options, Prepared* run) {
  Outcome outcome = read_command(argc, argv, options, run);
  // The report searches on its own, within a bound of its own.
  if (outcome.status != Status::kSuccess || run->code == kDiagnose) return outcome;
  take_lease_options(options, &run->request);
  // From here on the run waits for the network, and every wait ends by the run's end.
  run->discovery.deadline = deadline_in(kRunSeconds * 1000LL);
  if (prepare_portmap(options, run, &outcome)) return outcome;
  if (!find_router(options, run, &outcome)) return outcome;
  return read_addresses(run);
}
