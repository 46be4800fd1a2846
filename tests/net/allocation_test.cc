// Allocation failures in the middle of an exchange: the error comes back as NoMemory and
// every socket the exchange opened is closed on the way out.
#include <gtest/gtest.h>

#include "net/http.h"
#include "tests/support/error_print.h"
#include "tests/support/failing_new.h"
#include "tests/support/loopback_server.h"

namespace {

TEST(AllocationFailure, BodyBufferFailingClosesTheConnection) {
  const int before = open_descriptor_count();
  Error error = Error::kOk;
  {
    // The body buffer is the exchange's one large allocation.
    LoopbackServer server({{http_ok(std::string(60000, 'x'))}});
    HttpResponse response;
    fail_allocations_from(50000);
    error = http_perform(http_get_request("127.0.0.1", "d.xml", server.port()), false, &response);
    fail_allocations_from(0);
    EXPECT_EQ(response.status, 200);
    EXPECT_TRUE(response.body.empty());
  }  // the server's own descriptors are closed here
  EXPECT_EQ(error, Error::kNoMemory);
  EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
