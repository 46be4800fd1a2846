#include "cli/options.h"

#include <cstdlib>
#include <cstring>

#include "base/limits.h"
#include "cli/grammar.h"
#include "net/socket.h"
#include "net/url.h"

namespace {

/// What --protocol, --gateway and --url allow together.
bool options_fit_protocol(const RunOptions& options, bool add, std::string* problem) {
  const bool portmap = options.via == MapVia::kPcp || options.via == MapVia::kNatpmp;
  if (!options.url.empty() && options.via != MapVia::kUpnp) {
    *problem =
        "--url names a UPnP device: not with --protocol " + std::string(map_via_name(options.via));
  } else if (!options.gateway.empty() && options.via == MapVia::kUpnp) {
    *problem = "--gateway names a NAT-PMP/PCP gateway: it goes with --protocol pcp, natpmp or auto";
  } else if (portmap && add && options.lease_seconds != -1 &&
             (options.lease_seconds < kPortmapLeaseMinSeconds ||
              options.lease_seconds > kPortmapLeaseMaxSeconds)) {
    *problem = "--lease takes " + std::to_string(kPortmapLeaseMinSeconds) + " to " +
               std::to_string(kPortmapLeaseMaxSeconds) + " seconds with NAT-PMP and PCP";
  } else {
    return true;
  }
  return false;
}

enum class Kind { kFlag, kValue };

struct LongOption {
  const char* name;
  Kind kind;
};

const LongOption kLongOptions[] = {
    {"json", Kind::kFlag},       {"keep", Kind::kFlag},         {"exit-status", Kind::kFlag},
    {"help", Kind::kFlag},       {"version", Kind::kFlag},      {"lease", Kind::kValue},
    {"url", Kind::kValue},       {"interface", Kind::kValue},   {"protocol", Kind::kValue},
    {"gateway", Kind::kValue},   {"any-port", Kind::kFlag},     {"hold", Kind::kValue},
    {"on-change", Kind::kValue}, {"status-file", Kind::kValue}, {"same-port", Kind::kFlag},
};

// An interface name: Linux allows 15 bytes (IFNAMSIZ less its NUL), Windows' friendly
// names run longer.
#ifdef _WIN32
constexpr size_t kInterfaceNameMax = 255;
#else
constexpr size_t kInterfaceNameMax = 15;
#endif

void set_flag(const std::string& name, RunOptions* options) {
  if (name == "json") options->json = true;
  if (name == "keep") options->keep = true;
  if (name == "exit-status") options->exit_status = true;
  if (name == "help") options->help = true;
  if (name == "version") options->version = true;
  if (name == "any-port") options->any_port = true;
  if (name == "same-port") options->same_port = true;
}

/// Sets the option `name` to `value`, or says in `*problem` why it cannot.
void set_value(const std::string& name, const std::string& value, RunOptions* options,
               std::string* problem) {
  if (name == "lease") {
    long seconds = 0;
    const bool digits = !value.empty() && value.size() <= 9 && is_all_digits(value.c_str());
    if (digits) seconds = std::strtol(value.c_str(), nullptr, 10);
    if (!digits || seconds < kLeaseMinSeconds || seconds > kLeaseMaxSeconds) {
      *problem = "--lease takes seconds from " + std::to_string(kLeaseMinSeconds) + " to " +
                 std::to_string(kLeaseMaxSeconds) + ", not \"" + value + "\"";
      return;
    }
    options->lease_seconds = static_cast<int>(seconds);
  } else if (name == "url") {
    if (value.compare(0, 7, "http://") != 0 || value.size() <= 7 || value.size() > kUrlMax) {
      *problem = "--url takes an http:// URL of at most 511 characters";
      return;
    }
    const char* fault = url_fault(value);
    if (fault != nullptr || value.find_first_of(" \t\r\n") != std::string::npos) {
      *problem = std::string("--url: ") + (fault != nullptr ? fault : "it holds white space");
      return;
    }
    options->url = value;
  } else if (name == "hold" || name == "on-change" || name == "status-file") {
    if (value.empty()) {
      *problem = "--" + name + (name == "on-change" ? " takes a command" : " takes a file's path");
      return;
    }
    (name == "hold"        ? options->hold_file
     : name == "on-change" ? options->on_change
                           : options->status_file) = value;
  } else if (name == "protocol") {
    const MapVia all[] = {MapVia::kUpnp, MapVia::kPcp, MapVia::kNatpmp, MapVia::kAuto};
    for (MapVia via : all) {
      if (value == map_via_name(via)) {
        options->via = via;
        return;
      }
    }
    *problem = "--protocol takes upnp, pcp, natpmp or auto, not \"" + value + "\"";
  } else if (name == "gateway") {
    uint8_t bytes[16];
    // An IPv6 one is for a pinhole through PCP (the command line tells).
    if (value.size() > kAddressTextMax || !net_address_bytes(value, bytes)) {
      *problem = "--gateway takes the gateway's address, not \"" + value + "\"";
      return;
    }
    options->gateway = value;
  } else {
    if (value.empty() || value.size() > kInterfaceNameMax) {
      *problem = "--interface takes an interface's name of 1 to " +
                 std::to_string(kInterfaceNameMax) + " bytes";
      return;
    }
    options->interface_name = value;
  }
}

}  // namespace

bool take_long_options(int* argc, char** argv, RunOptions* options, std::string* problem) {
  int at = 1;
  bool good = true;
  // Every one is read, so a --json after a bad one still asks for a JSON answer; the
  // first problem is the one told.
  while (at < *argc && std::strncmp(argv[at], "--", 2) == 0) {
    const std::string word = argv[at++];
    if (word == "--") break;
    const size_t equals = word.find('=');
    const std::string name = word.substr(2, equals == std::string::npos ? equals : equals - 2);
    const LongOption* known = nullptr;
    for (const LongOption& option : kLongOptions) {
      if (name == option.name) known = &option;
    }
    std::string wrong;
    if (known == nullptr) {
      wrong = "unknown option --" + name;
    } else if (known->kind == Kind::kFlag) {
      if (equals == std::string::npos) {
        set_flag(name, options);
      } else {
        wrong = "--" + name + " takes no value";
      }
    } else if (equals != std::string::npos) {
      set_value(name, word.substr(equals + 1), options, &wrong);
    } else if (at < *argc) {
      set_value(name, argv[at++], options, &wrong);
    } else {
      wrong = "--" + name + " needs a value";
    }
    if (good && !wrong.empty()) {
      *problem = wrong;
      good = false;
    }
  }
  // The rest moves forward, the program name kept.
  const int taken = at - 1;
  for (int i = 1; i + taken <= *argc; ++i) argv[i] = argv[i + taken];
  *argc -= taken;
  return good;
}

const char* map_via_title(MapVia via) {
  return via == MapVia::kNatpmp ? "NAT-PMP" : "PCP";
}

const char* map_via_name(MapVia via) {
  switch (via) {
    case MapVia::kPcp:
      return "pcp";
    case MapVia::kNatpmp:
      return "natpmp";
    case MapVia::kAuto:
      return "auto";
    default:
      return "upnp";
  }
}

bool exit_status_meaningful(const RunOptions& options) {
  return options.json || options.keep || options.exit_status || !options.hold_file.empty();
}

bool options_fit_hold(const RunOptions& options, int argc, std::string* problem) {
  if (options.hold_file.empty()) {
    if (options.on_change.empty() && options.status_file.empty()) return true;
    *problem = options.on_change.empty() ? "--status-file goes with --hold alone"
                                         : "--on-change goes with --hold alone";
  } else if (argc > 1) {
    *problem = "--hold takes no command: its entries are the lines of its file";
  } else if (options.keep) {
    *problem = "--hold holds every line of its file: not with --keep";
  } else if (options.lease_seconds != -1) {
    *problem = "--hold: each line takes its own --lease";
  } else if (options.via != MapVia::kUpnp || options.any_port || options.same_port) {
    *problem =
        "--hold: --protocol, --any-port and --same-port are not for a held set (a line takes "
        "its own)";
  } else {
    return true;
  }
  return false;
}

bool options_fit_command(const RunOptions& options, int code, const RequestRecord& request,
                         std::string* problem) {
  const bool add = code == kAdd || code == kAddWithDescription || code == kAddClient ||
                   code == kAddClientWithDescription;
  if (code == kSyntaxError || code == kHelp) return true;
  if (code == kDiagnose && !options.url.empty()) {
    *problem = "--url names one device: -diagnose searches for them all";
    return false;
  }
  if (options.lease_seconds != -1 && !add) {
    *problem = "--lease goes with -add alone";
    return false;
  }
  if ((options.any_port || options.same_port) && !add) {
    *problem =
        options.any_port ? "--any-port goes with -add alone" : "--same-port goes with -add alone";
    return false;
  }
  if (options.same_port && !same_port_fits(options.via, options.any_port, request.internal_port,
                                           request.external_port, problem)) {
    return false;
  }
  if (!options_fit_protocol(options, add, problem)) return false;
  const bool pinhole = code == kPinholeAdd || code == kPinholeRemove;
  if (!options.gateway.empty() && pinhole != net_host_is_v6(options.gateway)) {
    *problem = pinhole ? "--gateway: a pinhole goes through the gateway's IPv6 address"
                       : "--gateway: a mapping goes through the gateway's IPv4 address";
    return false;
  }
  // A PCP pinhole is named by its protocol and port, a UPnP one by the router's ID.
  const bool named_by_port = code == kPinholeRemove && request.pinhole_id < 0;
  if (named_by_port && options.via == MapVia::kUpnp) {
    return false;  // as before PCP: a syntax error alone
  }
  if (code == kPinholeRemove && !named_by_port && options.via == MapVia::kPcp) {
    *problem = "-pinhole -remove through PCP takes PROTO PORT, not an ID";
    return false;
  }
  if (!options.keep) return true;
  if (code == kPinholeAdd && request.pinhole_lease >= kKeepLeaseMinSeconds) return true;
  if (code == kPinholeAdd) {
    *problem = "--keep needs a lease of at least 2 seconds";
  } else if (!add) {
    *problem = "--keep goes with -add and -pinhole -add alone";
  } else if (request.quick) {
    *problem = "--keep checks the table before every add: not with -q";
  } else if (options.lease_seconds != -1 && options.lease_seconds < kKeepLeaseMinSeconds) {
    *problem = "--keep needs a lease of at least 2 seconds";
  } else {
    return true;
  }
  return false;
}

bool same_port_fits(MapVia via, bool any_port, uint16_t internal_port, uint16_t external_port,
                    std::string* problem) {
  if (via != MapVia::kPcp && via != MapVia::kNatpmp) {
    *problem = "--same-port goes with --protocol pcp or natpmp";
  } else if (!any_port) {
    // Without it the port asked is the port held, inside as it was asked.
    *problem = "--same-port goes with --any-port: the internal port follows the port granted";
  } else if (internal_port != external_port) {
    *problem = "--same-port: IPORT and EPORT are one port, asked inside and out";
  } else {
    return true;
  }
  return false;
}

namespace {

/// The help screen's commands, with a pinhole's lease bounds as the grammar holds them.
std::string usage_commands() {
  const std::string pinhole_lease = std::to_string(kPinholeLeaseMin) + " to " +
                                    std::to_string(kPinholeLeaseMax) + " s, " +
                                    std::to_string(kPinholeLeaseDefault) + " unless given";
  return std::string(
      "Usage: portwrangler [OPTION...] COMMAND\n"
      "Manages the port forwarding of a home router through UPnP IGD, PCP or NAT-PMP.\n"
      "\n"
      "Commands:\n"
      "  -add [-q] PROTO IPORT EPORT [DESC]          forward EPORT to IPORT of this host\n"
      "  -add [-q] PROTO -ip ADDR IPORT EPORT [DESC] the same for the client ADDR\n"
      "  -remove [-q] PROTO EPORT                    remove an entry\n"
      "  -list                                       list every entry\n"
      "  -list -stats                                the list, then -stats\n"
      "  -list -id ID                                the entry with this ID (1 to 999)\n"
      "  -list [-p PROTO] [-ip ADDR] [-iport PORT] [-eport PORT] [-s STATUS]\n"
      "                                              search: criteria in this order\n"
      "  -stats                                      router, addresses, statistics\n"
      "  -help, /?                                   the help screen\n"
      "  -pinhole -status                            the router's IPv6 firewall\n"
      "  -pinhole -add PROTO PORT [LEASE]            open PORT of this host's IPv6 address\n"
      "                                              (LEASE " +
      pinhole_lease +
      ")\n"
      "  -pinhole -remove ID                         close the pinhole ID\n"
      "  -pinhole -remove PROTO PORT                 close it through PCP (--protocol pcp)\n"
      "  -pinhole -check ID                          whether it works, packets through\n"
      "  -diagnose [PROTO EPORT]                     every router found, double NAT, the\n"
      "                                              entry EPORT; changes nothing (14 s)\n"
      "PROTO is TCP or UDP, ports 1 to 65535, STATUS Enabled or Disabled; -q skips the\n"
      "look at the table before an add or a removal.\n"
      "\n");
}

/// The help screen's options and exit statuses, with the leases' bounds as the checks
/// hold them.
std::string usage_options() {
  const std::string lease =
      std::to_string(kLeaseMinSeconds) + " to " + std::to_string(kLeaseMaxSeconds);
  const std::string keep_lease = std::to_string(kKeepLeaseSeconds) +
                                 " s unless --lease, at least " +
                                 std::to_string(kKeepLeaseMinSeconds);
  const std::string portmap_lease = "lifetime " + std::to_string(kPortmapLifetimeSeconds) +
                                    " s unless --lease,\n                     " +
                                    std::to_string(kPortmapLeaseMinSeconds) + " to " +
                                    std::to_string(kPortmapLeaseMaxSeconds);
  return std::string(
      "Options (before the command; --name=value or --name value):\n"
      "  --json             one JSON document on standard output, nothing else there\n"
      "  --exit-status      exit statuses that tell the outcome (below) with the screens\n"
      "  --lease SECONDS    -add: the forwarding expires after " +
      lease +
      " seconds\n"
      "                     (without it, it is permanent)\n"
      "  --keep             -add, -pinhole -add: hold it while the run lasts: renew it\n"
      "                     at half its lease (" +
      keep_lease +
      "), take\n"
      "                     back our own entry a killed run left, add it again when the\n"
      "                     router lost it, remove it when the holding ends: on SIGTERM,\n"
      "                     SIGINT or SIGHUP (Ctrl-C, closing the console, logoff on\n"
      "                     Windows), or after 3 refused renewals in a row\n"
      "  --hold FILE        hold every forwarding and pinhole FILE names, one a line\n"
      "                     (-add ... or -pinhole -add ..., a line's own --lease and\n"
      "                     --protocol upnp, pcp or natpmp, with pcp and natpmp its own\n"
      "                     --any-port and --same-port; # for comments; quotes as\n"
      "                     in a shell), as --keep holds one: taken ports looked at\n"
      "                     again every 10 minutes; SIGHUP reads FILE again (on\n"
      "                     Windows, an edit of FILE, seen within 2 s), SIGTERM or\n"
      "                     SIGINT end it\n"
      "  --on-change CMD    --hold: run CMD (no shell) after each change, the event in\n"
      "                     PORTWRANGLER_* variables, for at most 30 s\n"
      "  --status-file PATH --hold: keep the set's state in PATH as one JSON document\n"
      "  --url URL          use the device description at URL instead of a search\n"
      "  --interface NAME   search on this network interface alone (an interface that\n"
      "                     is not there is a bad command line, as a bad URL is; NAT-PMP,\n"
      "                     PCP: ask this interface's default gateway)\n"
      "  --protocol P       upnp (the default), pcp, natpmp, or auto: UPnP when a router\n"
      "                     answers, else PCP, else NAT-PMP (taken once the search's\n"
      "                     first 2 s brought no router); with pcp and natpmp only\n"
      "                     -add, -remove and -stats (" +
      portmap_lease +
      "), and with pcp -pinhole -add and -remove (auto:\n"
      "                     the router's IPv6 firewall when it has one, else PCP); --keep\n"
      "                     holds a PCP pinhole too\n"
      "  --gateway ADDR     NAT-PMP/PCP: ask ADDR, not the default route's gateway (an\n"
      "                     IPv6 one for a pinhole; with --hold: for the pcp and\n"
      "                     natpmp lines of its address family)\n"
      "  --any-port         -add: take whatever external port the router assigns (UPnP:\n"
      "                     an IGD v2 router's AddAnyPortMapping; on v1, status 070;\n"
      "                     an answer lost is read back from the table on any port;\n"
      "                     NAT-PMP, PCP: held, a renewal's other port is `changed`)\n"
      "  --same-port        with --any-port, pcp or natpmp: the internal port is the\n"
      "                     port granted (asked again so; IPORT EPORT one port, the\n"
      "                     first asked), as a VPN gateway forwards\n"
      "  --help             this usage\n"
      "  --version          the version\n"
      "\n"
      "Exit status with --json, --keep, --hold or --exit-status (otherwise always 1):\n"
      "  0 done (an empty table included)   1 the router refused the change\n"
      "  2 bad command line                 3 no usable router, or the network failed\n"
      "  4 a forwarding holds the port      5 the table could not be read whole, or a\n"
      "                                       change whose answer was lost is unknown\n");
}

}  // namespace

const char* options_usage() {
  static const std::string text = usage_commands() + usage_options();
  return text.c_str();
}
