// Entry point and run driver: prepares the console, parses the command, finds the
// router and both addresses, and hands over to a flow. Every run ends in status_exit.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "front/change.h"
#include "front/console.h"
#include "front/grammar.h"
#include "front/listing.h"
#include "front/status.h"
#include "gateway/external_address.h"
#include "net/discovery.h"
#include "net/local_address.h"

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

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, SIG_IGN);
#ifdef SIGPIPE
  // A reader that goes away early (piped into head) must not end the run by a signal:
  // the writes then fail quietly and the run still ends with exit status 1.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  console_start(&argc, &argv);
  size_console(console_output(), 71, 50);
  clear_screen(console_output());

  RunRecords records{std::make_unique<RequestRecord>(), std::make_unique<EntryRecord>()};
  RequestRecord* request = records.request.get();
  print_banner();

  int count = argc - 1;
  if (take_quick_option(argc, argv)) {
    request->quick = 1;
    --count;
  }
  const int code = parse_command(count, argv, request);
  if (code == kSyntaxError || code == kHelp) {
    status_end(code == kHelp ? kStatusHelp : kStatusSyntaxError, &records, nullptr, kMessageSyntax);
  }

  GatewayHandle* gateway = nullptr;
  if (discover_gateway(&gateway) != 0) {
    status_end(kStatusNoRouter, &records, nullptr, kMessageNoRouter);
  }
  if (gateway_local_address(gateway, &request->local_address) != 0) {
    status_end(kStatusNoLocalAddress, &records, &gateway, kMessageNoLocalAddress);
  }
  if (gateway_external_address(gateway, request->external_address,
                               sizeof(request->external_address)) != 0) {
    status_end(kStatusNoExternalAddress, &records, &gateway, kMessageNoExternalAddress);
  }

  switch (code) {
    case kAddWithDescription:
    case kAdd:
    case kAddClientWithDescription:
    case kAddClient:
      add_flow(&records, &gateway);
    case kRemove:
      remove_flow(&records, &gateway);
    default:
      listing_flow(code, &records, &gateway);
  }
}
