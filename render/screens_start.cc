#include "render/screens_start.h"

#include <cstdio>

#include "gateway/discovery.h"
#include "gateway/reach.h"
#include "render/console.h"

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

void note_reach(const std::string& external_address) {
  const std::string note = reach_note(reach_of(external_address));
  if (note.empty()) return;
  std::fputs(note.c_str(), stderr);
  std::fflush(stderr);
}

void note_choice(const GatewayHandle& gateway) {
  if (gateway_choice(gateway) != GatewayChoice::kBesideDefault) return;
  std::fprintf(stderr,
               "portwrangler: using the router at %s; the default gateway %s gave no usable "
               "UPnP answer\n",
               gateway.answered_from.c_str(), gateway.default_gateway.c_str());
  std::fflush(stderr);
}

void portmap_hint(ProbeFound found, const PortmapGateway& gateway) {
  if (found == ProbeFound::kNothing) return;
  std::fprintf(stderr,
               "portwrangler: no UPnP router answered, but %s answers %s: try --protocol auto\n",
               gateway.address.c_str(), probe_found_title(found));
  std::fflush(stderr);
}

void hold_failure_show(const Outcome& outcome, const std::string& problem) {
  std::string line = problem;
  if (line.empty() && outcome.message[0] != '\0') {
    line = "portwrangler: " + std::string(outcome.message);
  } else if (line.empty()) {
    // The entry's events said what happened; the last line says how the run ends.
    line = "portwrangler: the held set ended with exit status " +
           std::to_string(static_cast<int>(exit_status_of(outcome)));
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}
