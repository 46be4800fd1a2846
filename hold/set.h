// A held set (--hold FILE): every forwarding and pinhole a file names, held by one run in
// the one holding loop. Here: the file's lines read into entries, the reload on SIGHUP,
// the hook run after each change (--on-change) and the status file (--status-file).
#ifndef PORTWRANGLER_HOLD_SET_H_
#define PORTWRANGLER_HOLD_SET_H_

#include <string>
#include <vector>

#include "cli/holdfile.h"
#include "cli/records.h"
#include "cli/status.h"
#include "hold/events.h"

/// A router's address as the status file and the hook take it: `text` when it is an IPv4
/// address (four decimal numbers) or an IPv6 one alone, else empty (a router may answer
/// anything).
std::string hold_router_address(const std::string& text);

/// What a held set's run was given on its command line.
struct HoldSetOptions {
  std::string file;         // --hold
  std::string on_change;    // --on-change: the hook's command, words as in the file
  std::string status_file;  // --status-file
  bool json = false;
  std::string url;             // --url
  std::string interface_name;  // --interface
  std::string gateway;         // --gateway: the NAT-PMP/PCP lines' gateway
  HoldSink* lines = nullptr;   // where its events are told
};

/// The whole run of a held set: reads the file (a bad line: the outcome kSyntaxError,
/// `*problem` saying where and why), finds the router, holds every entry until a stop
/// and releases them all.
Outcome hold_set_run(const HoldSetOptions& options, std::string* problem);

#endif  // PORTWRANGLER_HOLD_SET_H_
