// The IPv6 firewall service's answers on any body: GetFirewallStatus, AddPinhole's
// UniqueID, CheckPinholeWorking's IsWorking and GetPinholePackets' PinholePackets. What
// is read stays within its caps, a text is kept only where its value is unknown, and an
// ID or a count is one the answer wrote.
#include "base/limits.h"
#include "gateway/firewall.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool known_error(Error error) {
  return error == Error::kOk || error == Error::kGatewayUnparsable || error == Error::kNoMemory;
}

/// Whether `value` is written in `body` as it reads (an entity may spell it otherwise).
bool written(const std::string& body, uint64_t value) {
  return body.find(std::to_string(value)) != std::string::npos ||
         body.find('&') != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body = fuzz_text(data, size);

  FirewallStatus status;
  const Error status_error = firewall_parse_status(body, &status);
  FUZZ_CHECK(known_error(status_error));
  FUZZ_CHECK(status.enabled_text.size() <= kAddressTextMax);
  FUZZ_CHECK(status.inbound_text.size() <= kAddressTextMax);

  uint16_t id = 7;
  std::string id_text;
  const Error id_error = pinhole_parse_id(body, &id, &id_text);
  FUZZ_CHECK(known_error(id_error) || id_error == Error::kGatewayNoPinholeId);
  FUZZ_CHECK(id_text.size() <= kAddressTextMax);
  if (id_error == Error::kOk) {
    FUZZ_CHECK(written(body, id));
  } else {
    FUZZ_CHECK(id == 7);
  }

  PinholeCheck check;
  FUZZ_CHECK(known_error(pinhole_parse_working(body, &check)));
  FUZZ_CHECK(check.working_text.size() <= kAddressTextMax);
  if (check.working_known) FUZZ_CHECK(check.working_text.empty());
  if (!check.working_known) FUZZ_CHECK(!check.working);
  FUZZ_CHECK(known_error(pinhole_parse_packets(body, &check)));
  FUZZ_CHECK(check.packets_text.size() <= kAddressTextMax);
  if (check.packets_known) FUZZ_CHECK(check.packets_text.empty() && written(body, check.packets));
  if (!check.packets_known) FUZZ_CHECK(check.packets == 0);
  return 0;
}
