// The command grammar: turns the argument vector into a CommandCode and fills the
// request record. It has no state and prints nothing; every problem is the code 0.
#ifndef PORTWRANGLER_CLI_GRAMMAR_H_
#define PORTWRANGLER_CLI_GRAMMAR_H_

#include <string>

#include "cli/records.h"

/// Command codes the driver dispatches on. Filtered listings are the sums of the
/// criterion values (kCriterion*); every code of kFilteredListingMin or more is one.
enum CommandCode : int {
  kSyntaxError = 0,
  kAddWithDescription = 3,
  kAdd = 4,
  kAddClientWithDescription = 5,
  kAddClient = 6,
  kRemove = 7,
  kList = 9,
  kListStats = 16,
  kStats = 84,
  // The IPv6 firewall's pinholes, below every filtered listing's code.
  kPinholeStatus = 30,
  kPinholeAdd = 31,
  kPinholeRemove = 32,
  kPinholeCheck = 33,
  // A report that reads and changes nothing.
  kDiagnose = 35,
  kFilteredListingMin = 355,
  kListById = 440,
  kHelp = 963,
};

enum CriterionValue : int {
  kCriterionProtocol = 528,
  kCriterionAddress = 624,
  kCriterionInternalPort = 728,
  kCriterionExternalPort = 840,
  kCriterionStatus = 960,
};

/// The address an IPv4 text names, as inet_addr reads it (one to four parts, each
/// decimal, octal after a leading 0 or hexadecimal after 0x, the last filling the bytes
/// left; white space ends the text), in dotted decimal: "1" is 0.0.0.1, "0x7f.1"
/// 127.0.0.1, "010.0.0.1" 8.0.0.1. False for a text that names none.
bool address_dotted(const char* text, std::string* dotted);

/// The address `typed` names in dotted decimal (address_dotted): what is sent and
/// compared for an address typed as "-ip" takes it. `typed` itself when it names none.
std::string address_meant(const std::string& typed);

/// The internal client `request` asks for: the address its "-ip" names (address_meant),
/// else `this_host`, the host's own address toward the router or gateway.
std::string client_asked(const RequestRecord& request, const std::string& this_host);

/// Whether `code` is one of the pinhole commands.
inline bool is_pinhole_command(int code) {
  return code >= kPinholeStatus && code <= kPinholeCheck;
}

/// Whether every character of `text` is a decimal digit (also for "").
bool is_all_digits(const char* text);

/// Whether it found "-q" right after the command keyword (with at least four arguments
/// after the program name) and removed it from `argv`, shifting the rest forward.
bool take_quick_option(int argc, char** argv);

/// The CommandCode of the `count` arguments after the program name (`argv[0]`);
/// writes the values of the command into `request`. 0 for anything not in the grammar.
int parse_command(int count, char** argv, RequestRecord* request);

#endif  // PORTWRANGLER_CLI_GRAMMAR_H_
