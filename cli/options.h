// The long options: GNU style, before the command keyword, taken out of the argument
// vector before the command grammar sees it. A command line without them is read exactly
// as it always was.
#ifndef PORTWRANGLER_CLI_OPTIONS_H_
#define PORTWRANGLER_CLI_OPTIONS_H_

#include <cstdint>
#include <string>

#include "cli/records.h"
#include "cli/status.h"

/// Which protocol a run speaks to the router (--protocol).
enum class MapVia { kUpnp, kPcp, kNatpmp, kAuto };

struct RunOptions {
  bool json = false;           // --json: one JSON document on standard output
  bool keep = false;           // --keep: hold the added forwarding while the run lasts
  bool exit_status = false;    // --exit-status: the statuses below for the screens too
  bool help = false;           // --help: the usage with the long options
  bool version = false;        // --version
  int lease_seconds = -1;      // --lease: 1 to 604800; -1 when not given
  std::string url;             // --url: the description to use instead of a search
  std::string interface_name;  // --interface: search on this interface alone
  std::string hold_file;       // --hold: hold every entry of this file
  std::string on_change;       // --on-change: the hook run after each change of a held set
  std::string status_file;     // --status-file: a held set's state, kept as JSON
  MapVia via = MapVia::kUpnp;  // --protocol
  bool any_port = false;       // --any-port: take the external port the router assigns
  bool same_port = false;      // --same-port: the internal port is the external one granted
  std::string gateway;         // --gateway: the NAT-PMP/PCP gateway, not the default one
};

/// The protocol's name as --protocol and JSON spell it ("pcp").
const char* map_via_name(MapVia via);

/// NAT-PMP's or PCP's name as the screens and event lines write it: "NAT-PMP", "PCP".
const char* map_via_title(MapVia via);

/// Takes the long options that stand right after the program name out of `argv`
/// (`*argc` shrinks by as many). "--" ends them. true when all were known and well
/// formed; otherwise `*problem` says which was not, and the options read so far stay
/// set (so --json before a bad option still asks for a JSON answer).
bool take_long_options(int* argc, char** argv, RunOptions* options, std::string* problem);

/// What may go with --hold: no command (its entries are the file's lines), nor --keep or
/// --lease (a line has its own); --on-change and --status-file only with it. true when
/// `argc` (the arguments left, the program name counted) fits; otherwise `*problem`.
bool options_fit_hold(const RunOptions& options, int argc, std::string* problem);

/// Whether the exit status tells the outcome (else every run ends with 1).
bool exit_status_meaningful(const RunOptions& options);

/// What may go with which command: --lease and --keep only with an add, --keep not with
/// "-q" (it checks the table before every add), and a lease --keep can hold (--lease, or
/// a pinhole's own); --same-port with --any-port through NAT-PMP or PCP, IPORT and EPORT
/// one port. true when the command `code` (a CommandCode) of `request` fits;
/// otherwise `*problem` says why.
bool options_fit_command(const RunOptions& options, int code, const RequestRecord& request,
                         std::string* problem);

/// What --same-port asks of an add through `via` with --any-port (`any_port`), ports
/// `internal_port` and `external_port`: true when it fits, otherwise `*problem`. A held
/// set's line is held to the same.
bool same_port_fits(MapVia via, bool any_port, uint16_t internal_port, uint16_t external_port,
                    std::string* problem);

/// The usage that --help prints.
const char* options_usage();

#endif  // PORTWRANGLER_CLI_OPTIONS_H_
