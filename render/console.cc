// The screens every run shares: rule lines and titles, the status box, the syntax and
// help screens, the closing frame, and the status screen that ends every run's screens.
#include "render/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "base/format.h"
#include "base/text.h"

namespace {

const char kRuleLine[] = "======================================================================\n";
const char kBlankRow[] = "|                                                                    |\n";
const char kSyntaxTitle[] = "| Status: [%.3d] - (Syntax %-11s                                |\n";
const char kRouterTitle[] =
    "| Status: [%.3d] - (UPnP Router Error)                                |\n";

/// A framed row: a bar, `text` padded to 68 columns, a bar.
void print_row(const char* text) {
  console_printf("|%-68s|\n", text);
}

void print_rows(const char* const* rows, int count) {
  for (int i = 0; i < count; ++i) print_row(rows[i]);
}

const char* const kSyntaxCommands[13] = {
    " Usage:  portwrangler <command> [-q] [values]",
    "   -add <protocol> <internal port> <external port> [description]",
    "   -add <protocol> -ip <address> <internal port> <external port>",
    "        [description]",
    "   -remove <protocol> <external port>",
    "   -list",
    "   -list -stats",
    "   -list -id <entry id>",
    "   -list [-p <protocol>] [-ip <address>] [-iport <port>]",
    "         [-eport <port>] [-s <status>]",
    "   -stats",
    "   -help   or   /?",
    " -q right after -add or -remove skips the look at the table first.",
};

const char kSyntaxValues[] = " protocol TCP|UDP  port 1-65535  entry id 1-999  Enabled|Disabled";

const char* const kSyntaxNotes[3] = {
    " Search criteria: one or more, each at most once, in this order.",
    " Example:  portwrangler -add TCP 80 8080 \"Web server\"",
    " Example:  portwrangler -list -p tcp -s enabled",
};

struct HelpBlock {
  const char* title;
  int count;
  const char* rows[14];
};

const HelpBlock kHelpBlocks[13] = {
    {"  -add",
     3,
     {" -add <protocol> <internal port> <external port> [description]",
      " Forwards the router's external port to the internal port of this",
      " host. The description is optional; quote it when it has blanks."}},
    {"  -add -ip",
     3,
     {" -add <protocol> -ip <address> <internal port> <external port> [..]",
      " Forwards the external port to the internal port of the given",
      " internal client (an IPv4 address) instead of this host."}},
    {"  -remove",
     3,
     {" -remove <protocol> <external port>",
      " Removes the entry with this protocol and external port. The entry",
      " is looked up first, so that its ID and details can be shown."}},
    {"  -list", 1, {" Lists every forwarding entry of the router with its ID."}},
    {"  -list -stats",
     3,
     {" Lists every entry, then the router information, network",
      " information and statistics of -stats.",
      " A router without entries ends the listing with status 054."}},
    {"  -list -id",
     2,
     {" -list -id <entry id>      (1 to 999, the ID that -list shows)",
      " Shows the one entry with that ID."}},
    {"  -list -p",
     3,
     {" -list -p <protocol>", " Lists the entries of one protocol: TCP or UDP, in any letter case.",
      " Combines with the criteria below, each at most once, in order."}},
    {"  -list -ip",
     3,
     {" -list -ip <address>", " Lists the entries forwarded to this internal client. An entry",
      " without an internal client matches 0.0.0.0."}},
    {"  -list -iport",
     3,
     {" -list -iport <port>", " Lists the entries whose internal port is this port (1 to 65535).",
      " Leading zeros are allowed: 0080 is port 80."}},
    {"  -list -eport",
     3,
     {" -list -eport <port>", " Lists the entries whose external port is this port (1 to 65535).",
      " Leading zeros are allowed: 0080 is port 80."}},
    {"  -list -s",
     2,
     {" -list -s <status>", " Lists the entries that are Enabled or Disabled (any letter case)."}},
    {"  -stats",
     2,
     {" Shows the router's identity, its internal and external IP",
      " addresses, and the entry counts by protocol and status."}},
    {"  Notes",
     14,
     {" -q    right after -add or -remove: the table is not read first.",
      "       An add then leaves a clash to the router to refuse, and a",
      "       removal shows only the external port.",
      " Search criteria -p, -ip, -iport, -eport and -s: one to five,",
      "       each at most once, in this order.",
      " Command words, protocols and status words ignore letter case;",
      "       the protocol and the description are sent as typed.",
      " The router is found by an SSDP search on the local network; when",
      "       none answers, the run gives up after about 5 seconds.",
      " Every run ends with exit status 1, a successful one included.",
      " Examples:  portwrangler -add UDP 5000 5000 \"Game server\"",
      "            portwrangler -add -q TCP -ip 192.168.1.20 22 2222",
      "            portwrangler -list -p tcp -eport 2222 -s enabled",
      "            portwrangler -remove TCP 2222"}},
};

void print_syntax_block() {
  console_printf("%s", kBlankRow);
  print_rule_line();
  print_rows(kSyntaxCommands, 13);
  print_rule_line();
  print_row(kSyntaxValues);
  print_rule_line();
  print_rows(kSyntaxNotes, 3);
}

void print_extended_description() {
  print_row(" Extended Description:");
  print_rule_line();
  for (const HelpBlock& block : kHelpBlocks) {
    print_row(block.title);
    print_rule_line();
    print_rows(block.rows, block.count);
    print_rule_line();
  }
}

void closing_sequence() {
  set_text_attribute(kColourBannerFirst);
  print_rule_line();
  console_printf("%s%s", kBlankRow, kBlankRow);
  print_rule_line();
  set_text_attribute(kColourDefault);
  std::fflush(stdout);
}

}  // namespace

void print_status_box(Status status, const char* message) {
  const int number = static_cast<int>(status);
  print_rule_line();
  if (status == Status::kSyntaxError) {
    console_printf(kSyntaxTitle, number, "Error)");
  } else if (status == Status::kHelp) {
    console_printf(kSyntaxTitle, number, "Help)");
  } else {
    console_printf(kRouterTitle, number);
  }
  print_rule_line();
  print_message_rows(message != nullptr ? message : "");
  print_rule_line();
}

std::vector<std::string> message_rows(const std::string& message) {
  constexpr size_t kColumns = 66;
  std::vector<std::string> rows;
  std::string rest = message;
  do {
    size_t cut = rest.size();
    if (text_columns(rest) > kColumns) {
      // The longest leading part within the row, by whole characters.
      size_t fit = 0;
      for (size_t next = 1; next <= rest.size(); ++next) {
        if (next < rest.size() && (static_cast<unsigned char>(rest[next]) & 0xC0) == 0x80) {
          continue;  // inside a UTF-8 sequence
        }
        if (text_columns(rest.substr(0, next)) > kColumns) break;
        fit = next;
      }
      const size_t blank = rest.rfind(' ', fit);
      cut = blank != std::string::npos && blank > 0 ? blank : (fit > 0 ? fit : 1);
    }
    rows.push_back("| " + text_pad_right(rest.substr(0, cut), kColumns) + " |\n");
    rest.erase(0, cut);
    while (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
  } while (!rest.empty());
  return rows;
}

void print_message_rows(const std::string& message) {
  for (const std::string& row : message_rows(message)) console_printf("%s", row.c_str());
}

void truncate_description(std::string* text) {
  text_shorten(text, 50, 47);
}

void truncate_info(std::string* text) {
  text_shorten(text, 43, 40);
}

std::string cell(const std::string& text, size_t columns) {
  return text_pad_right(text_printable(text), columns);
}

namespace {

/// `text` printable and no wider than `columns`.
std::string fitted(const std::string& text, size_t columns) {
  std::string shown = text_printable(text);
  if (text_columns(shown) <= columns) return shown;
  if (columns > 3) {
    text_shorten(&shown, columns, columns - 3);
  } else {
    text_shorten(&shown, columns, columns);
    shown.resize(shown.size() - 3);  // no room for "...": the cut alone
  }
  return shown;
}

}  // namespace

std::string fixed_cell(const std::string& text, size_t columns) {
  return text_pad_right(fitted(text, columns), columns);
}

std::string fixed_cell_right(const std::string& text, size_t columns) {
  return text_pad_left(fitted(text, columns), columns);
}

std::string port_text(uint16_t port, const std::string& router_text) {
  if (port != 0 || router_text.empty()) return std::to_string(port);
  return router_text;
}

std::string three_digits(int value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%.3d", value);
  return text;
}

std::string number_cell(const std::string& value, size_t left, size_t width) {
  if (left + value.size() > width) left = width > value.size() ? width - value.size() : 0;
  return text_pad_right(std::string(left, ' ') + value, width);
}

std::string framed_row(const std::string& content) {
  std::string row = content;
  while (!row.empty() && row.back() == ' ' && text_columns(row) > 69) row.pop_back();
  return text_pad_right(row, 69) + "|\n";
}

void console_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_text(format, args);
  va_end(args);
  console_write(text);
}

void print_rule_line() {
  console_printf("%s", kRuleLine);
}

void print_boxed_title(const char* title_line) {
  print_rule_line();
  console_printf("%s", title_line);
  print_rule_line();
}

void print_highlight_bar() {
  set_text_attribute(kColourHighlight);
  console_printf("\t\t\t\t\t\t\t\t      \n\t\t\t\t\t\t\t\t      \n");
  set_text_attribute(kColourReport);
}

ConsoleSizePlan size_console_plan(int buffer_columns, int buffer_rows, int window_columns,
                                  int window_rows, int largest_columns, int largest_rows,
                                  int columns, int rows) {
  ConsoleSizePlan plan;
  const int wanted_columns = columns < largest_columns ? columns : largest_columns;
  const int wanted_rows = rows < largest_rows ? rows : largest_rows;
  plan.shrink_right = (window_columns < wanted_columns ? window_columns : wanted_columns) - 1;
  plan.shrink_bottom = (window_rows < wanted_rows ? window_rows : wanted_rows) - 1;
  plan.buffer_columns = 71;
  plan.buffer_rows = 500;
  plan.window_right = wanted_columns - 1;
  plan.window_bottom = wanted_rows - 1;
  plan.changes = buffer_columns != plan.buffer_columns || buffer_rows != plan.buffer_rows ||
                 window_columns != wanted_columns || window_rows != wanted_rows;
  return plan;
}

ExitStatus exit_status_of(const Outcome& outcome) {
  if (outcome.exit != ExitStatus::kUnset) return outcome.exit;
  switch (outcome.status) {
    case Status::kSyntaxError:
      return ExitStatus::kBadCommand;
    case Status::kNoRouter:
    case Status::kNoExternalAddress:
    case Status::kNoLocalAddress:
    case Status::kNoFirewall:
    case Status::kPortmapNoGateway:
      return ExitStatus::kNoRouter;
    case Status::kNeedsUpnp:
    case Status::kPortmapThirdParty:
    case Status::kNoAnyPort:
      return ExitStatus::kBadCommand;
    case Status::kNoLocalIpv4:
    case Status::kNoGlobalIpv6:
      return ExitStatus::kNoRouter;
    case Status::kAddUnknown:
    case Status::kRemoveUnknown:
    case Status::kPinholeUnknown:
      return ExitStatus::kIncomplete;
    case Status::kPinholeNotAuthorized:
    case Status::kPinholeNoRoom:
    case Status::kFirewallOff:
    case Status::kPinholeNotAllowed:
    case Status::kNoSuchPinhole:
    case Status::kPinholeFailed:
      return ExitStatus::kRefused;
    case Status::kDuplicate:
      return ExitStatus::kClash;
    case Status::kAddRefused:
    case Status::kRemoveRefusedQuick:
    case Status::kRemoveRefused:
    case Status::kFailure:
      return ExitStatus::kRefused;
    case Status::kEnumerateFailed:
      return ExitStatus::kIncomplete;
    default:  // help, success
      return ExitStatus::kDone;
  }
}

void status_show(const Outcome& outcome) {
  const Status status = outcome.status;
  if (status != Status::kFailure && status != Status::kSuccess) {
    print_status_box(status, outcome.message);
  }
  if (status == Status::kSyntaxError) {
    print_syntax_block();
    print_rule_line();
    console_printf("%s", kBlankRow);
    print_rule_line();
  } else if (status == Status::kHelp) {
    print_syntax_block();
    print_rule_line();
    print_extended_description();
  }
  closing_sequence();
}
