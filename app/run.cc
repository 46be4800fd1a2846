#include "app/run.h"

#include <memory>
#include <string>
#include <vector>

#include "app/run_portmap.h"
#include "cli/grammar.h"
#include "flows/change.h"
#include "flows/diagnose.h"
#include "flows/listing.h"
#include "flows/pinhole.h"
#include "flows/portmap.h"
#include "hold/forwarding.h"
#include "hold/pinhole.h"
#include "hold/portmap.h"
#include "hold/set.h"
#include "render/hold_lines.h"
#include "render/json.h"
#include "render/screens_change.h"
#include "render/screens_diagnose.h"
#include "render/screens_listing.h"
#include "render/screens_start.h"

namespace {

/// `outcome` once the screens have shown its status box: silent, with the exit status it
/// means.
Outcome told(const Outcome& outcome) {
  return {outcome.status == Status::kSuccess ? Status::kSuccess : Status::kFailure, "",
          exit_status_of(outcome)};
}

/// A UPnP command once, with its screens or its document.
Outcome run_upnp(int code, const RequestRecord& request, const GatewayHandle& gateway, bool json) {
  if (is_add_command(code)) return run_add(request, gateway, json);
  if (code == kRemove) return run_remove(request, gateway, json);
  if (is_pinhole_command(code)) {
    return json ? json_pinhole_flow(code, request, gateway) : pinhole_flow(code, request, gateway);
  }
  return run_listing(code, request, gateway, json);
}

/// Whether a held run of `run` goes through NAT-PMP or PCP: NAT-PMP cannot map for
/// another host (its flow says so), and a pinhole is PCP's alone.
bool holds_through_portmap(const Prepared& run) {
  if (run.via == MapVia::kUpnp) return false;
  if (run.code == kPinholeAdd) return run.via == MapVia::kPcp;
  return is_add_command(run.code) && (run.via == MapVia::kPcp || run.request.ip_address.empty());
}

/// The entry of `run` held through NAT-PMP or PCP until a stop.
Outcome hold_through_portmap(Prepared* run, const RunOptions& options, const KeepWaiter& waiter) {
  const std::shared_ptr<PortmapServer> server = portmap_server(run->portmap_gateway);
  const std::unique_ptr<HoldSink> lines = hold_lines(options.json);
  std::vector<HeldEntry> held;
  held.push_back(run->code == kPinholeAdd
                     ? hold_pcp_pinhole(run->request, server, lines.get())
                     : hold_portmap(run->via, run->request, server, options, lines.get()));
  return hold_run(&held, &run->gateway, run->discovery, waiter, nullptr,
                  {portmap_listener(server)});
}

/// The entry of `run` held through the UPnP router until a stop.
Outcome hold_through_upnp(Prepared* run, const RunOptions& options, const KeepWaiter& waiter) {
  const std::unique_ptr<HoldSink> lines = hold_lines(options.json);
  std::vector<HeldEntry> held;
  held.push_back(run->code == kPinholeAdd ? hold_pinhole(run->request, lines.get())
                                          : hold_forwarding(run->request, lines.get()));
  return hold_run(&held, &run->gateway, run->discovery, waiter);
}

}  // namespace

Outcome run_add(const RequestRecord& request, const GatewayHandle& gateway, bool json) {
  if (json) {
    // The entry is read back whatever its lease: the document says what the router holds.
    const AddResult result = add_apply(request, gateway, false, true);
    const Outcome outcome = add_outcome(result);
    json_write_add(request, gateway, result, outcome);
    return outcome;
  }
  const AddResult result = add_apply(request, gateway);
  add_show(request, result);
  return told(add_outcome(result));
}

Outcome run_remove(const RequestRecord& request, const GatewayHandle& gateway, bool json) {
  const RemoveResult result = remove_apply(request, gateway);
  const Outcome outcome = remove_outcome(request, result);
  if (json) {
    json_write_remove(request, gateway, result, outcome);
    return outcome;
  }
  remove_show(request, result);
  return told(outcome);
}

Outcome run_listing(int code, const RequestRecord& request, const GatewayHandle& gateway,
                    bool json) {
  ListingResult result = listing_read(code, request, gateway);
  const Outcome outcome = listing_outcome(request, result);
  if (json) {
    json_write_listing(code, request, gateway, result, outcome);
    return outcome;
  }
  if (outcome.status == Status::kSuccess && listing_shows_information(code)) {
    listing_read_information(gateway, &result);
  }
  listing_show(code, request, result, outcome);
  return outcome;
}

Outcome run_diagnose(const RequestRecord& request, const DiscoveryOptions& discovery, bool json) {
  const Diagnosis diagnosis = diagnose_run(request, discovery);
  const Outcome outcome = diagnose_outcome();
  if (json) {
    json_write_diagnosis(diagnosis, outcome);
  } else {
    diagnose_show(diagnosis);
  }
  return outcome;
}

Outcome run_command(Prepared* run, const RunOptions& options, const KeepWaiter& waiter) {
  if (run->code == kDiagnose) return run_diagnose(run->request, run->discovery, options.json);
  if (options.keep && holds_through_portmap(*run)) {
    return hold_through_portmap(run, options, waiter);
  }
  if (run->via != MapVia::kUpnp) {
    run->portmap_gateway.deadline = run->discovery.deadline;
    return portmap_flow(run->code, run->via, run->request, run->portmap_gateway, options);
  }
  if (options.keep) return hold_through_upnp(run, options, waiter);
  return run_upnp(run->code, run->request, run->gateway, options.json);
}

Outcome run_hold(int argc, const RunOptions& options) {
  std::string problem;
  Outcome outcome{Status::kSyntaxError, kMessageSyntax};
  const bool fits = options_fit_hold(options, argc, &problem);
  // The stop signals are taken from the start, SIGHUP as a reload: a stop before anything
  // is held ends the search under way, and the run, at once.
  if (fits) keep_platform_waiter(true);
  if (fits &&
      discovery_interface_check({options.url, options.interface_name, false}) != Error::kOk) {
    // A mistyped interface is the command line's fault, told before any search.
    problem = interface_problem(options);
  } else if (fits) {
    const std::unique_ptr<HoldSink> lines = hold_lines(options.json);
    outcome = hold_set_run({options.hold_file, options.on_change, options.status_file, options.json,
                            options.url, options.interface_name, options.gateway, lines.get()},
                           &problem);
  }
  if (outcome.status == Status::kSuccess) return outcome;
  if (options.json) {
    json_write_failure(outcome, problem);
  } else {
    hold_failure_show(outcome, problem);
  }
  return outcome;
}
