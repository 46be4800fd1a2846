#include "render/screens_diagnose.h"

#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "render/console.h"

namespace {

constexpr char kTitle[] =
    "| --------------------  UPnP Router - Diagnosis  -------------------- |\n";
constexpr char kFindingsTitle[] =
    "| --------------------  Findings And Next Steps  -------------------- |\n";
constexpr size_t kWide = 66;

/// `text` in rows of at most `width` columns, broken between words (a longer word alone).
std::vector<std::string> wrapped(const std::string& text, size_t width) {
  std::vector<std::string> rows;
  std::istringstream words(text_printable(text));
  std::string word, row;
  while (words >> word) {
    if (!row.empty() && text_columns(row) + 1 + text_columns(word) > width) {
      rows.push_back(row);
      row.clear();
    }
    row += (row.empty() ? "" : " ") + word;
  }
  if (!row.empty()) rows.push_back(row);
  return rows;
}

/// `text` after `first`, its further rows after `rest`, which is as wide.
void print_wrapped(const std::string& text, const std::string& first, const std::string& rest) {
  bool start = true;
  for (const std::string& row : wrapped(text, kWide - first.size())) {
    console_printf("| %s%s |\n", (start ? first : rest).c_str(),
                   cell(row, kWide - first.size()).c_str());
    start = false;
  }
}

void print_row(const std::string& label, const std::string& value) {
  print_wrapped(value.empty() ? "N/A" : value, label, std::string(label.size(), ' '));
}

/// The external address a gateway told, as its row shows it.
std::string external_shown(const DiagnosedGateway& gateway) {
  if (!gateway.external_read) return "N/A";
  return gateway.external_address.empty() ? "(none given)" : gateway.external_address;
}

void print_gateway(const DiagnosedGateway& gateway) {
  const bool upnp = gateway.version < 0;
  print_row("Device:        ",
            std::string(diagnosed_protocol_title(gateway)) + " at " + gateway.address +
                (gateway.interface_name.empty() ? "" : " on " + gateway.interface_name));
  if (!upnp) {
    print_row("Version:       ",
              std::to_string(gateway.version) + ", epoch " + std::to_string(gateway.epoch) + " s" +
                  (gateway.refusal != 0 ? ", refused with result " + std::to_string(gateway.refusal)
                                        : ""));
    print_row("External IP:   ", external_shown(gateway));
    print_row("Answered in:   ", std::to_string(gateway.answer_ms) + " ms");
    print_row("Marks:         ", gateway.default_gateway ? "default gateway" : "-");
    print_rule_line();
    return;
  }
  print_row("Name:          ", gateway.friendly_name);
  print_row("Services:      ", text_joined(gateway.services, ", "));
  print_row("Kind:          ",
            (gateway.igd_version > 0 ? "IGD v" + std::to_string(gateway.igd_version)
                                     : std::string("not an IGD")) +
                ", IPv6 firewall: " + (gateway.firewall ? "Yes" : "No"));
  print_row("External IP:   ", external_shown(gateway));
  print_row("Answered in:   ", std::to_string(gateway.answer_ms) + " ms");
  std::vector<std::string> marks;
  if (gateway.default_gateway) marks.push_back("default gateway");
  if (gateway.chosen) marks.push_back("used by commands");
  if (!gateway.usable) marks.push_back("no WAN connection service");
  print_row("Marks:         ", marks.empty() ? "-" : text_joined(marks, ", "));
  print_rule_line();
}

}  // namespace

void diagnose_show(const Diagnosis& diagnosis) {
  print_boxed_title(kTitle);
  for (const DiagnosedInterface& interface : diagnosis.interfaces) {
    print_row("Interface:     ",
              interface.name + " (" + interface.address + "), default gateway " +
                  (interface.default_gateway.empty() ? "none" : interface.default_gateway));
  }
  if (!diagnosis.interfaces.empty()) print_rule_line();
  for (const DiagnosedGateway& gateway : diagnosis.gateways) print_gateway(gateway);
  print_boxed_title(kFindingsTitle);
  for (const Advice& advice : diagnosis.advice) {
    print_wrapped(advice.finding, "", "");
    print_wrapped(advice.next_step, "-> ", "   ");
    print_rule_line();
  }
}
