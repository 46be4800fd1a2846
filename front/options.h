// The long options: GNU style, before the command keyword, taken out of the argument
// vector before the command grammar sees it. A command line without them is read exactly
// as it always was.
#ifndef PORTWRANGLER_FRONT_OPTIONS_H_
#define PORTWRANGLER_FRONT_OPTIONS_H_

#include <string>

#include "front/records.h"
#include "front/status.h"

/// Which protocol a run speaks to the router (--protocol).
enum class MapVia { kUpnp, kPcp, kNatpmp, kAuto };

/// NAT-PMP and PCP: the lifetime asked without --lease (RFC 6886's recommendation), and
/// the range --lease takes with them (what PCP servers grant; a NAT-PMP server grants
/// anything, even a value that wraps).
constexpr int kPortmapLifetimeSeconds = 7200;
constexpr int kPortmapLeaseMinSeconds = 120;
constexpr int kPortmapLeaseMaxSeconds = 86400;

struct RunOptions {
  bool json = false;           // --json: one JSON document on standard output
  bool keep = false;           // --keep: hold the added forwarding while the run lasts
  bool exit_status = false;    // --exit-status: the statuses below for the screens too
  bool help = false;           // --help: the usage with the long options
  bool version = false;        // --version
  int lease_seconds = -1;      // --lease: 1 to 604800; -1 when not given
  std::string url;             // --url: the description to use instead of a search
  std::string interface_name;  // --interface: search on this interface alone
  MapVia via = MapVia::kUpnp;  // --protocol
  bool any_port = false;       // --any-port: take the external port the router assigns
  std::string gateway;         // --gateway: the NAT-PMP/PCP gateway, not the default one
};

/// The protocol's name as --protocol and JSON spell it ("pcp").
const char* map_via_name(MapVia via);

/// Takes the long options that stand right after the program name out of `argv`
/// (`*argc` shrinks by as many). "--" ends them. true when all were known and well
/// formed; otherwise `*problem` says which was not, and the options read so far stay
/// set (so --json before a bad option still asks for a JSON answer).
bool take_long_options(int* argc, char** argv, RunOptions* options, std::string* problem);

/// Whether the exit status tells the outcome (else every run ends with 1).
bool exit_status_meaningful(const RunOptions& options);

/// What may go with which command: --lease and --keep only with an add, --keep not with
/// "-q" (it checks the table before every add), and a lease --keep can hold (--lease, or
/// a pinhole's own). true when the command `code` (a CommandCode) of `request` fits;
/// otherwise `*problem` says why.
bool options_fit_command(const RunOptions& options, int code, const RequestRecord& request,
                         std::string* problem);

/// The usage that --help prints.
const char* options_usage();

#endif  // PORTWRANGLER_FRONT_OPTIONS_H_
