#include "base/retry.h"

#include "base/limits.h"

namespace {

bool never(Error) {
  return false;
}

bool connect_failed(Error error) {
  return error == Error::kSocketConnectFailed;
}

/// A table read's answer that is neither an entry nor the table's end: a refusal that
/// does not say the index is past the end (a 503, a 500 without a fault, a fault of a
/// router that failed for a moment), a 200 without an entry, an answer that is not XML.
bool not_entry_nor_end(Error error) {
  return error_in_transport(error) || error == Error::kHttpNotOk ||
         error == Error::kGatewayNoEntry || error == Error::kGatewayUnparsable;
}

constexpr RetryRule kRules[] = {
    {Retry::kRead, kTransportTries, error_in_transport,
     "a connection lost or cut short says nothing about the router; an answer of any "
     "status is its answer and is not asked again"},
    {Retry::kSearchRead, kTransportTries, error_in_transport,
     "as a read, but one cut off by its own time is not made again (the search checks "
     "that): a device that trickles or stays silent gets one read's time"},
    {Retry::kTableRead, kTransportTries, not_entry_nor_end,
     "only the router's word that the index is past the end ends its table: any other "
     "failure is asked again, or the table would be shown cut short as whole"},
    {Retry::kChange, kTransportTries, connect_failed,
     "without a connection the router cannot have seen the change; once one opened, "
     "making it again might make it twice"},
    {Retry::kLocalConnect, kTransportTries, connect_failed,
     "the connect alone is the exchange: nothing is sent"},
    {Retry::kOnce, 1, never, "the caller's loop follows another row"},
};

constexpr bool rows_in_order() {
  for (int i = 0; i < static_cast<int>(sizeof(kRules) / sizeof(kRules[0])); ++i) {
    if (static_cast<int>(kRules[i].kind) != i) return false;
  }
  return true;
}
static_assert(rows_in_order(), "a row stands at the index of its kind");

}  // namespace

const RetryRule& retry_rule(Retry kind) {
  return kRules[static_cast<int>(kind)];
}

bool error_in_transport(Error error) {
  switch (error) {
    case Error::kSocketConnectFailed:
    case Error::kSocketSendFailed:
    case Error::kSocketReceiveFailed:
    case Error::kHttpNoHead:
    case Error::kHttpCutShort:
    case Error::kSocketTimedOut:
    case Error::kSocketStopped:
      return true;
    default:
      return false;
  }
}

bool request_may_have_arrived(Error error) {
  return error_in_transport(error) && error != Error::kSocketConnectFailed;
}

Error short_body_error(bool whole, bool parses) {
  return whole || parses ? Error::kOk : Error::kHttpCutShort;
}
