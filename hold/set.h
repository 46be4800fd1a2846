// A held set (--hold FILE): every forwarding and pinhole a file names, held by one run in
// the one holding loop. Here: the file's lines read into entries, the reload on SIGHUP,
// the hook run after each change (--on-change) and the status file (--status-file).
#ifndef PORTWRANGLER_HOLD_SET_H_
#define PORTWRANGLER_HOLD_SET_H_

#include <string>
#include <vector>

#include "cli/records.h"
#include "cli/status.h"
#include "hold/events.h"

/// One line of a held set's file, as parsed.
struct HoldLine {
  int number = 0;         // its line number, from 1
  std::string key;        // its words after parsing: the same words, the same entry
  int code = 0;           // the CommandCode: an add or -pinhole -add
  RequestRecord request;  // what it asks for, its lease set
  std::string via = "upnp";
};

/// Splits `line` into words as a shell would, but runs nothing: blanks part words, '...'
/// keeps everything, "..." keeps all but \" \\ \$ \` (escaped), a backslash outside quotes
/// keeps the next character, and a '#' that starts a word ends the line. false with
/// `*problem` for an unclosed quote.
bool hold_split_words(const std::string& line, std::vector<std::string>* words,
                      std::string* problem);

/// Parses a held set's file text `text`, named `file` in what it says. true with every
/// entry in `*lines`; false with `*problem` as "FILE:LINE: what is wrong".
bool hold_parse(const std::string& text, const std::string& file, std::vector<HoldLine>* lines,
                std::string* problem);

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
