// Entry point and run driver: takes the long options, prepares the console, parses the
// command, finds the router and both addresses, and hands over to a flow (its screens,
// its JSON document, or the keep loop). Everything a run holds lives in
// run() and is gone when it returns its outcome; status_exit then ends the process.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "app/run_portmap.h"
#include "base/clock.h"
#include "base/limits.h"
#include "base/trace.h"
#include "cli/grammar.h"
#include "cli/options.h"
#include "cli/records.h"
#include "cli/status.h"
#include "flows/change.h"
#include "flows/diagnose.h"
#include "flows/listing.h"
#include "flows/pinhole.h"
#include "flows/portmap.h"
#include "flows/probe.h"
#include "gateway/discovery.h"
#include "gateway/external_address.h"
#include "gateway/local_address.h"
#include "gateway/reach.h"
#include "hold/forwarding.h"
#include "hold/loop.h"
#include "hold/pinhole.h"
#include "hold/portmap.h"
#include "hold/set.h"
#include "portmap/route.h"
#include "render/console.h"
#include "render/json.h"

namespace {

void print_banner() {
  set_text_attribute(kColourBannerFirst);
  print_rule_line();
  console_printf("| $$$$$$$$$$$$$$$$$$$$$                       $$$$$$$$$$$$$$$$$$$$$$ |\n");
  print_rule_line();
  set_text_attribute(kColourBannerSecond);
  print_rule_line();
  for (int i = 0; i < 4; ++i) {
    console_printf("|                                                                    |\n");
  }
  print_rule_line();
  set_text_attribute(kColourReport);
}

/// The failure of a step before any flow: its trace line, and the outcome it gives.
Outcome failed_step(const char* step, Error error, Status status, const char* message) {
  trace("%s failed: %s", step, trace_error(error));
  return {status, message};
}

/// The failure to find the NAT-PMP/PCP gateway, or a pinhole's address beside it.
Outcome failed_gateway(Error error) {
  if (error == Error::kSocketNoGlobalIpv6) {
    return failed_step("local address", error, Status::kNoGlobalIpv6, kMessageNoGlobalIpv6);
  }
  return failed_step("gateway", error, Status::kPortmapNoGateway, kMessageNoPortmapGateway);
}

/// One line on standard error when the router's forwardings cannot be reached from the
/// internet; standard output stays as it is.
void note_reach(const std::string& external_address) {
  const std::string note = reach_note(reach_of(external_address));
  if (note.empty()) return;
  std::fputs(note.c_str(), stderr);
  std::fflush(stderr);
}

/// One line on standard error when the router taken is not its link's default gateway;
/// standard output stays as it is.
void note_choice(const GatewayHandle& gateway) {
  if (gateway_choice(gateway) != GatewayChoice::kBesideDefault) return;
  std::fprintf(stderr,
               "portwrangler: using the router at %s; the default gateway %s gave no usable "
               "UPnP answer\n",
               gateway.answered_from.c_str(), gateway.default_gateway.c_str());
  std::fflush(stderr);
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

bool is_add_command(int code) {
  return code == kAdd || code == kAddWithDescription || code == kAddClient ||
         code == kAddClientWithDescription;
}

bool is_portmap_command(int code) {
  return code == kAdd || code == kAddWithDescription || code == kAddClient ||
         code == kAddClientWithDescription || code == kRemove || code == kStats;
}

/// Whether PCP can carry the pinhole command `code` (its IPv6 MAP opens the firewall).
bool is_pcp_pinhole_command(int code) {
  return code == kPinholeAdd || code == kPinholeRemove;
}

/// What a run holds once it is ready for its flow.
struct Prepared {
  int code = kSyntaxError;
  MapVia via = MapVia::kUpnp;      // the protocol the flow speaks (auto has chosen)
  PortmapGateway portmap_gateway;  // with NAT-PMP and PCP
  RequestRecord request;
  GatewayHandle gateway;
  DiscoveryOptions discovery;
  std::string problem;  // what is wrong with a command line the long options refused
};

/// The command, the router and both addresses: kSuccess when the flow may run.
Outcome prepare(int argc, char** argv, const RunOptions& options, Prepared* run) {
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
  const bool pinhole = is_pinhole_command(run->code);
  run->discovery = {options.url, options.interface_name, pinhole};
  // The search prefers the router at the link's default gateway.
  run->discovery.default_gateway = route_default_gateway_found;
  // A mistyped interface is the command line's fault, told before any search.
  if (discovery_interface_check(run->discovery) != Error::kOk) {
    run->problem =
        "--interface: no interface named \"" + options.interface_name + "\" can carry the search";
    return {Status::kSyntaxError, kMessageSyntax};
  }
  // The report searches on its own, within a bound of its own.
  if (run->code == kDiagnose) return {Status::kSuccess, ""};
  if (options.lease_seconds > 0) request.lease_seconds = options.lease_seconds;
  request.any_port = options.any_port;
  request.same_port = options.same_port;
  if (options.keep && options.lease_seconds <= 0) request.lease_seconds = kKeepLeaseSeconds;

  // From here on the run waits for the network, and every wait ends by the run's end.
  run->discovery.deadline = deadline_in(kRunSeconds * 1000LL);
  // A pinhole named by protocol and port is PCP's, with auto too.
  const bool pcp_pinhole =
      is_pcp_pinhole_command(run->code) &&
      (options.via == MapVia::kPcp || (run->code == kPinholeRemove && request.pinhole_id < 0));
  if (options.via == MapVia::kPcp || options.via == MapVia::kNatpmp || pcp_pinhole) {
    run->via = pcp_pinhole ? MapVia::kPcp : options.via;
    if (!is_portmap_command(run->code) && !pcp_pinhole) return {Status::kSuccess, ""};
    const Error error = portmap_find_gateway(options, &run->portmap_gateway, pcp_pinhole);
    if (error != Error::kOk) return failed_gateway(error);
    return {Status::kSuccess, ""};
  }
  // Beside the search, a probe for NAT-PMP/PCP: auto's second choice, else the hint.
  const bool auto_race = options.via == MapVia::kAuto && is_portmap_command(run->code);
  std::unique_ptr<PortmapProbe> probe;
  if (options.via == MapVia::kAuto ||
      (options.url.empty() && !pinhole && !options.keep && options.gateway.empty())) {
    probe.reset(new (std::nothrow) PortmapProbe);
    // No gateway to ask, or no socket for it: the search goes on alone.
    if (probe != nullptr && !portmap_probe_start(options, probe.get())) probe.reset();
  }
  Error error = search_beside_probe(run->discovery, probe.get(), auto_race, &run->gateway);
  const ProbeFound found = probe != nullptr ? portmap_probe_found(*probe) : ProbeFound::kNothing;
  if (error != Error::kOk && auto_race && found != ProbeFound::kNothing) {
    trace("discovery failed: %s; the gateway answers %s", trace_error(error),
          found == ProbeFound::kPcp ? "PCP" : "NAT-PMP");
    run->via = found == ProbeFound::kPcp ? MapVia::kPcp : MapVia::kNatpmp;
    run->portmap_gateway = probe->gateway;
    return {Status::kSuccess, ""};
  }
  if (error != Error::kOk && options.via == MapVia::kAuto && pinhole &&
      is_pcp_pinhole_command(run->code)) {
    // No IGD v2 firewall: its pinhole through PCP, whose answer (or none) tells.
    trace("discovery failed: %s; the pinhole goes through PCP", trace_error(error));
    run->via = MapVia::kPcp;
    error = portmap_find_gateway(options, &run->portmap_gateway, true);
    if (error != Error::kOk) return failed_gateway(error);
    return {Status::kSuccess, ""};
  }
  if (error != Error::kOk && options.via == MapVia::kUpnp && probe != nullptr) {
    portmap_hint(found, probe->gateway);
  }
  if (error == Error::kGatewayNoFirewall) {
    return failed_step("discovery", error, Status::kNoFirewall, kMessageNoFirewall);
  }
  if (error != Error::kOk) {
    return failed_step("discovery", error, Status::kNoRouter, kMessageNoRouter);
  }
  note_choice(run->gateway);
  // A pinhole is this host's IPv6 address; a forwarding's client is an IPv4 one, even
  // when the router was reached over IPv6.
  error = pinhole ? gateway_pinhole_address(run->gateway, &request.local_address)
                  : gateway_local_ipv4(run->gateway, &request.local_address);
  if (error == Error::kSocketNoIpv4) {
    return failed_step("local address", error, Status::kNoLocalIpv4, kMessageNoLocalIpv4);
  }
  if (error == Error::kSocketNoGlobalIpv6) {
    return failed_step("local address", error, Status::kNoGlobalIpv6, kMessageNoGlobalIpv6);
  }
  if (error != Error::kOk) {
    return failed_step("local address", error, Status::kNoLocalAddress, kMessageNoLocalAddress);
  }
  if (pinhole) return {Status::kSuccess, ""};
  error = gateway_external_address(run->gateway, &request.external_address);
  if (error != Error::kOk) {
    return failed_step("external address", error, Status::kNoExternalAddress,
                       kMessageNoExternalAddress);
  }
  note_reach(request.external_address);
  return {Status::kSuccess, ""};
}

Outcome run_flow(const Prepared& run) {
  switch (run.code) {
    case kAddWithDescription:
    case kAdd:
    case kAddClientWithDescription:
    case kAddClient:
      return add_flow(run.request, run.gateway);
    case kRemove:
      return remove_flow(run.request, run.gateway);
    case kPinholeStatus:
    case kPinholeAdd:
    case kPinholeRemove:
    case kPinholeCheck:
      return pinhole_flow(run.code, run.request, run.gateway);
    default:
      return listing_flow(run.code, run.request, run.gateway);
  }
}

/// How a run ends, once everything it held is gone.
struct Ending {
  Outcome outcome;
  int exit_code;
  bool json;                    // the document is written: no screen to end
  const char* plain = nullptr;  // --help or --version: this text alone, exit status 0
};

/// A held set: its events alone, no screens; a problem before the holding is one line on
/// standard error (or the JSON error document).
Ending run_hold(int argc, const RunOptions& options) {
  std::string problem;
  Outcome outcome{Status::kSyntaxError, kMessageSyntax};
  const bool fits = options_fit_hold(options, argc, &problem);
  // The stop signals are taken from the start, SIGHUP as a reload: a stop before anything
  // is held ends the search under way, and the run, at once.
  if (fits) keep_platform_waiter(true);
  if (fits &&
      discovery_interface_check({options.url, options.interface_name, false}) != Error::kOk) {
    // A mistyped interface is the command line's fault, told before any search.
    problem =
        "--interface: no interface named \"" + options.interface_name + "\" can carry the search";
  } else if (fits) {
    outcome = hold_set_run({options.hold_file, options.on_change, options.status_file, options.json,
                            options.url, options.interface_name, options.gateway},
                           &problem);
  }
  if (outcome.status != Status::kSuccess) {
    if (options.json) {
      json_write_failure(outcome, problem);
    } else {
      if (problem.empty() && outcome.message[0] != '\0') {
        problem = "portwrangler: " + std::string(outcome.message);
      } else if (problem.empty()) {
        // The entry's events said what happened; the last line says how the run ends.
        problem = "portwrangler: the held set ended with exit status " +
                  std::to_string(static_cast<int>(exit_status_of(outcome)));
      }
      std::fprintf(stderr, "%s\n", problem.c_str());
      std::fflush(stderr);
    }
  }
  return {outcome, static_cast<int>(exit_status_of(outcome)), true};
}

Ending run(int argc, char** argv) {
  RunOptions options;
  Prepared run;
  const bool options_good = take_long_options(&argc, argv, &options, &run.problem);
  if (options_good && options.help) return {{Status::kHelp, ""}, 0, false, options_usage()};
  if (options_good && options.version) {
    return {{Status::kHelp, ""}, 0, false, "portwrangler " PORTWRANGLER_VERSION "\n"};
  }
  if (options_good &&
      (!options.hold_file.empty() || !options.on_change.empty() || !options.status_file.empty())) {
    return run_hold(argc, options);
  }
  // A JSON answer is the document alone: no banner, no colour, the console left as it is.
  if (!options.json) {
    size_console(console_output(), 71, 50);
    clear_screen(console_output());
    print_banner();
  }
  // A holding run takes its stop signals from its start: a stop before anything is held
  // ends the exchange under way, and the run, at once.
  KeepWaiter waiter(nullptr);
  if (options_good && options.keep) waiter = keep_platform_waiter();
  Outcome outcome = options_good ? prepare(argc, argv, options, &run)
                                 : Outcome{Status::kSyntaxError, kMessageSyntax};
  // A stop during the start ends it at once: the holding loop then reports it.
  const bool ran = outcome.status != Status::kSyntaxError && outcome.status != Status::kHelp;
  const bool stopped = ran && options.keep && keep_stop_asked(waiter);
  if (outcome.status == Status::kSuccess || stopped) {
    if (run.code == kDiagnose) {
      outcome = diagnose_flow(run.request, run.discovery, options.json);
      // NAT-PMP cannot map for another host: its flow says so.
    } else if (run.via != MapVia::kUpnp && options.keep &&
               (run.code == kPinholeAdd
                    ? run.via == MapVia::kPcp
                    : is_add_command(run.code) &&
                          (run.via == MapVia::kPcp || run.request.ip_address.empty()))) {
      const std::shared_ptr<PortmapServer> server = portmap_server(run.portmap_gateway);
      std::vector<HeldEntry> held;
      held.push_back(run.code == kPinholeAdd ? hold_pcp_pinhole(run.request, server, options.json)
                                             : hold_portmap(run.via, run.request, server, options));
      outcome =
          hold_run(&held, &run.gateway, run.discovery, waiter, nullptr, {portmap_listener(server)});
    } else if (run.via != MapVia::kUpnp) {
      run.portmap_gateway.deadline = run.discovery.deadline;
      outcome = portmap_flow(run.code, run.via, run.request, run.portmap_gateway, options);
    } else if (options.keep) {
      std::vector<HeldEntry> held;
      held.push_back(run.code == kPinholeAdd ? hold_pinhole(run.request, options.json)
                                             : hold_forwarding(run.request, options.json));
      outcome = hold_run(&held, &run.gateway, run.discovery, waiter);
    } else if (options.json && is_pinhole_command(run.code)) {
      outcome = json_pinhole_flow(run.code, run.request, run.gateway);
    } else if (options.json) {
      outcome = json_flow(run.code, run.request, run.gateway);
    } else {
      outcome = run_flow(run);
    }
  } else if (options.json) {
    json_write_failure(outcome, run.problem);
  }
  const bool report = run.code == kDiagnose && outcome.status == Status::kSuccess;
  const int exit_code =
      exit_status_meaningful(options) || report ? static_cast<int>(exit_status_of(outcome)) : 1;
  return {outcome, exit_code, options.json};
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, SIG_IGN);
#ifdef SIGPIPE
  // A reader that goes away early (piped into head) must not end the run by a signal:
  // the writes then fail quietly and the run still ends with exit status 1.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  const char* tracing = std::getenv("PORTWRANGLER_TRACE");
  trace_enable(tracing != nullptr && std::strcmp(tracing, "1") == 0);
  console_start(&argc, &argv);
  const Ending ending = run(argc, argv);
  if (ending.plain != nullptr || ending.json) {
    if (ending.plain != nullptr) console_write(ending.plain);
    std::fflush(stdout);
    std::exit(ending.exit_code);
  }
  status_exit(ending.outcome, ending.exit_code);
}
