// The holding loop with two mappings at a NAT-PMP/PCP gateway whose announcements
// (and the epochs in them and in its answers) the input makes up: however often it
// announces, or says it lost its mappings, no entry is stepped twice within the loop's
// renewal floor, and the loop does not spin.
//
// The input: each entry's lease byte, a byte whose bits say which renewals' answers say
// the gateway lost every mapping, then datagrams to the announcement listener as
// fuzz_datagrams reads them. A minute passes on the scripted clock.
#include "base/limits.h"
#include "flows/portmap.h"
#include "hold/loop.h"
#include "hold/pinhole.h"
#include "hold/portmap.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_datagrams.h"

namespace {

struct Script {
  int64_t lease_seconds = 0;  // at least two floors: the lease alone never breaks one
  uint8_t lost_bits = 0;
  int renewals = 0;
  std::vector<long long> steps;  // when each step of the entry came, on the script's clock
};

HoldAnswer held(Script* script, bool renewal) {
  script->steps.push_back(scripted_now_ms());
  HoldAnswer answer;
  answer.event = renewal ? "renewed" : "added";
  answer.lease_seconds = script->lease_seconds;
  if (renewal) answer.router_lost_all = (script->lost_bits >> (script->renewals++ % 8)) & 1;
  return answer;
}

HeldEntry entry_of(const std::shared_ptr<Script>& script) {
  HeldEntry entry;
  entry.router = kHoldRouterPortmap;
  entry.lease_seconds = script->lease_seconds;
  entry.kind.hold = [script](const GatewayHandle&) { return held(script.get(), false); };
  entry.kind.readd = entry.kind.hold;
  entry.kind.renew = [script](const GatewayHandle&) { return held(script.get(), true); };
  entry.kind.release = [](const GatewayHandle&) {
    HoldAnswer answer;
    answer.step = HoldStep::kGone;
    answer.event = "removed";
    return answer;
  };
  entry.kind.subject = [](const HoldAnswer&) { return HeldSubject(); };
  return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  std::vector<std::shared_ptr<Script>> scripts;
  std::vector<HeldEntry> entries;
  for (int i = 0; i < 2; ++i) {
    scripts.push_back(std::make_shared<Script>());
    scripts.back()->lease_seconds = 2 * kHoldRenewFloorMs / 1000 + in.byte() % 120;
  }
  for (const auto& script : scripts) script->lost_bits = in.byte();
  for (const auto& script : scripts) entries.push_back(entry_of(script));
  scripted_datagrams(fuzz_datagrams(&in));

  PortmapGateway gateway;
  gateway.address = kFuzzGateway;
  gateway.source = kFuzzSource;
  auto server = std::make_shared<PortmapServer>();
  server->gateway = gateway;
  FUZZ_CHECK(udp_open(&server->listener) == Error::kOk);
  const std::vector<HoldListener> listeners{portmap_listener(server)};

  int waits = 0;
  const KeepWaiter waiter(
      [&](int milliseconds, const std::vector<long long>& watch) {
        ++waits;
        if (watch.empty()) {
          scripted_advance(milliseconds);
        } else {
          std::vector<SocketWait> on{{server->listener.get(), false, false}};
          FUZZ_CHECK(socket_wait_any(&on, milliseconds) == Error::kOk);
        }
        return scripted_now_ms() >= 60000 || waits > 5000;
      },
      [] { return scripted_now_ms(); });
  GatewayHandle handle;
  (void)hold_run(&entries, &handle, {}, waiter, nullptr, listeners);

  // Each datagram ends at most one wait early; the steps, a floor apart at least,
  // end the rest.
  FUZZ_CHECK(waits <= 64 + 2 * (60000 / kHoldRenewFloorMs + 2) + 2);
  for (const auto& script : scripts) {
    for (size_t i = 1; i < script->steps.size(); ++i) {
      FUZZ_CHECK(script->steps[i] - script->steps[i - 1] >= kHoldRenewFloorMs);
    }
  }
  return 0;
}
