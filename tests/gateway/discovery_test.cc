// The gateway operations that are exchanges of their own: the description fetch and the
// local-address query.
#include "gateway/discovery.h"

#include <gtest/gtest.h>

#include "gateway/local_address.h"
#include "tests/support/error_print.h"
#include "tests/support/loopback_server.h"

namespace {

TEST(Discovery, FetchDescription) {
  LoopbackServer server({{http_ok("<root>desc</root>")}, {"HTTP/1.1 403 Forbidden\r\n\r\n"}});
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  std::string text;
  EXPECT_EQ(fetch_description(base + "/rootDesc.xml", &text), Error::kOk);
  EXPECT_EQ(text, "<root>desc</root>");
  EXPECT_EQ(fetch_description(base + "/rootDesc.xml", &text), Error::kHttpNotOk);
  EXPECT_EQ(fetch_description("http://127.0.0.1", &text), Error::kHttpBadUrl);
  EXPECT_EQ(server.requests().at(0), "GET /rootDesc.xml HTTP/1.1\r\nHOST: 127.0.0.1:" +
                                         std::to_string(server.port()) + "\r\n\r\n");
}

TEST(LocalAddress, FromTheControlUrl) {
  LoopbackServer server({{"", 0, false}});
  GatewayHandle gateway;
  gateway.control_url = "127.0.0.1:" + std::to_string(server.port()) + "/ctl";
  std::string address;
  EXPECT_EQ(gateway_local_address(gateway, &address), Error::kOk);
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_TRUE(server.requests().at(0).empty());  // nothing is sent

  gateway.control_url = "http://127.0.0.1:" + std::to_string(closed_loopback_port()) + "/ctl";
  const int before = open_descriptor_count();
  EXPECT_EQ(gateway_local_address(gateway, &address), Error::kSocketConnectFailed);
  EXPECT_EQ(open_descriptor_count(), before);
  gateway.control_url = "http://127.0.0.1";
  EXPECT_EQ(gateway_local_address(gateway, &address), Error::kHttpBadUrl);
}

}  // namespace
