// Entry point and run driver: prepares the console, parses the command, finds the
// router and both addresses, and hands over to a flow. Everything a run holds lives in
// run() and is gone when it returns its outcome; status_exit then ends the process.
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "base/budget.h"
#include "base/limits.h"
#include "base/trace.h"
#include "front/change.h"
#include "front/console.h"
#include "front/grammar.h"
#include "front/listing.h"
#include "front/records.h"
#include "front/status.h"
#include "gateway/discovery.h"
#include "gateway/external_address.h"
#include "gateway/local_address.h"

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

/// The failure of a step before any flow: its trace line, and the outcome it gives.
Outcome failed_step(const char* step, Error error, Status status, const char* message) {
  trace("%s failed: %s", step, trace_error(error));
  return {status, message};
}

Outcome run(int argc, char** argv) {
  RequestRecord request;
  int count = argc - 1;
  if (take_quick_option(argc, argv)) {
    request.quick = true;
    --count;
  }
  const int code = parse_command(count, argv, &request);
  if (code == kSyntaxError) return {Status::kSyntaxError, kMessageSyntax};
  if (code == kHelp) return {Status::kHelp, kMessageSyntax};

  // From here on the run waits for the network, and never longer than its budget.
  run_budget_start(kRunSeconds);
  GatewayHandle gateway;
  Error error = discover_gateway(&gateway);
  if (error != Error::kOk) {
    return failed_step("discovery", error, Status::kNoRouter, kMessageNoRouter);
  }
  error = gateway_local_address(gateway, &request.local_address);
  if (error != Error::kOk) {
    return failed_step("local address", error, Status::kNoLocalAddress, kMessageNoLocalAddress);
  }
  error = gateway_external_address(gateway, &request.external_address);
  if (error != Error::kOk) {
    return failed_step("external address", error, Status::kNoExternalAddress,
                       kMessageNoExternalAddress);
  }

  switch (code) {
    case kAddWithDescription:
    case kAdd:
    case kAddClientWithDescription:
    case kAddClient:
      return add_flow(request, gateway);
    case kRemove:
      return remove_flow(request, gateway);
    default:
      return listing_flow(code, request, gateway);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, SIG_IGN);
#ifdef SIGPIPE
  // A reader that goes away early (piped into head) must not end the run by a signal:
  // the writes then fail quietly and the run still ends with exit status 1.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  const char* tracing = std::getenv("PORTWRANGLER_TRACE");
  trace_enable(tracing != nullptr && std::strcmp(tracing, "1") == 0);
  console_start(&argc, &argv);
  size_console(console_output(), 71, 50);
  clear_screen(console_output());
  print_banner();
  status_exit(run(argc, argv));
}
