#include "flows/failure.h"

#include "base/trace.h"

Outcome failed_step(const char* step, Error error, Status status, const char* message) {
  trace("%s failed: %s", step, trace_error(error));
  return {status, message};
}

Outcome failed_local_address(Error error) {
  if (error == Error::kSocketNoIpv4) {
    return failed_step("local address", error, Status::kNoLocalIpv4, kMessageNoLocalIpv4);
  }
  if (error == Error::kSocketNoGlobalIpv6) {
    return failed_step("local address", error, Status::kNoGlobalIpv6, kMessageNoGlobalIpv6);
  }
  return failed_step("local address", error, Status::kNoLocalAddress, kMessageNoLocalAddress);
}
