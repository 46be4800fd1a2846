// ssdp_location on any datagram: a location is one blank-free token of at most 511
// characters, taken from a reply whose status line says 200.
#include "base/limits.h"
#include "net/http.h"
#include "net/ssdp.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kSsdpReplyMax) return 0;  // the receive never hands over more
  std::string reply = fuzz_text(data, size);
  std::string location;
  const Error error = ssdp_location(reply, &location);
  if (error == Error::kOk) {
    FUZZ_CHECK(!location.empty() && location.size() <= kUrlMax);
    FUZZ_CHECK(location.find_first_of(" \t\r\n") == std::string::npos);
    int status = 0;
    FUZZ_CHECK(http_status(reply.c_str(), &status) == Error::kOk && status == 200);
    FUZZ_CHECK(reply.find(location) != std::string::npos);
  } else {
    FUZZ_CHECK(error == Error::kSsdpNot200 || error == Error::kSsdpNoLocation ||
               error == Error::kGatewayTooLong);
    FUZZ_CHECK(location.empty());
  }
  return 0;
}
