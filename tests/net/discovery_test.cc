#include "net/discovery.h"

#include <gtest/gtest.h>

#include "net/local_address.h"
#include "tests/support/loopback_server.h"

namespace {

TEST(Discovery, SearchDatagram) {
  EXPECT_EQ(ssdp_search_text("urn:schemas-upnp-org:service:WANIPConnection:1"),
            "M-SEARCH * HTTP/1.1\r\n"
            "MX: 2\r\n"
            "HOST: 239.255.255.250:1900\r\n"
            "MAN: \"ssdp:discover\"\r\n"
            "ST: urn:schemas-upnp-org:service:WANIPConnection:1\r\n"
            "\r\n");
}

struct LocationCase {
  std::string reply;
  int result;
  std::string location;
};

TEST(Discovery, LocationHeader) {
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const LocationCase cases[] = {
      {ok + "CACHE-CONTROL: max-age=120\r\nLOCATION: http://10.0.0.1:5000/Desc.XML\r\n\r\n", 0,
       "http://10.0.0.1:5000/Desc.XML"},
      {ok + "Location: http://a/b\r\n\r\n", 0, "http://a/b"},
      {ok + "location:http://a/b\r\n\r\n", 0, "http://a/b"},
      {ok + "location: \t http://a/b  trailing\r\n\r\n", 0, "http://a/b"},
      {ok + "LOCATION: http://first/\r\nLOCATION: http://second/\r\n\r\n", 0, "http://first/"},
      {ok + " LOCATION: http://a/b\r\n\r\n", kSsdpNoLocation, ""},
      {ok + "LOCATION : http://a/b\r\n\r\n", kSsdpNoLocation, ""},
      {ok + "LOCATION: http://a/b", kSsdpNoLocation, ""},  // no closing CR LF
      {"HTTP/1.1 200 OK\nLOCATION: http://a/b\n\n", kSsdpNoLocation, ""},
      {ok + "LOCATION:   \r\nX: http://not-this/\r\n\r\n", kSsdpNoLocation, ""},
      {"HTTP/1.1 404 Not Found\r\nLOCATION: http://a/b\r\n\r\n", kSsdpNot200, ""},
      {"HTTP/1.1 200 ok\r\nLOCATION: http://a/b\r\n\r\n", kSsdpNot200, ""},
      {"LOCATION: http://a/b\r\n\r\n", kSsdpNot200, ""},
      // The first line never counts, even when it is the only LOCATION line.
      {"LOCATION: http://a/b 200 OK\r\n\r\n", kSsdpNoLocation, ""},
  };
  for (const LocationCase& c : cases) {
    std::string location = "unset";
    EXPECT_EQ(ssdp_location(c.reply, &location), c.result) << c.reply;
    EXPECT_EQ(location, c.result == 0 ? c.location : "unset") << c.reply;
  }
}

TEST(Discovery, LocationLengthLimit) {
  std::string url511 = "http://h/" + std::string(511 - 9, 'x');
  std::string location;
  ASSERT_EQ(ssdp_location("HTTP/1.1 200 OK\r\nLOCATION: " + url511 + "\r\n\r\n", &location), 0);
  EXPECT_EQ(location, url511);
  EXPECT_EQ(ssdp_location("HTTP/1.1 200 OK\r\nLOCATION: " + url511 + "x\r\n\r\n", &location),
            kGatewayTooLong);
}

TEST(Discovery, FetchDescription) {
  LoopbackServer server({{http_ok("<root>desc</root>")}, {"HTTP/1.1 403 Forbidden\r\n\r\n"}});
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  std::string text;
  EXPECT_EQ(fetch_description(base + "/rootDesc.xml", &text), 0);
  EXPECT_EQ(text, "<root>desc</root>");
  EXPECT_EQ(fetch_description(base + "/rootDesc.xml", &text), -894);
  EXPECT_EQ(fetch_description("http://127.0.0.1", &text), -893);
  EXPECT_EQ(server.requests().at(0), "GET /rootDesc.xml HTTP/1.1\r\nHOST: 127.0.0.1:" +
                                         std::to_string(server.port()) + "\r\n\r\n");
}

TEST(LocalAddress, FromTheControlUrl) {
  LoopbackServer server({{"", 0, false}});
  GatewayHandle gateway;
  gateway.control_url = "127.0.0.1:" + std::to_string(server.port()) + "/ctl";
  std::string address;
  EXPECT_EQ(gateway_local_address(&gateway, &address), 0);
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_TRUE(server.requests().at(0).empty());  // nothing is sent

  gateway.control_url = "http://127.0.0.1:" + std::to_string(closed_loopback_port()) + "/ctl";
  int before = open_descriptor_count();
  EXPECT_EQ(gateway_local_address(&gateway, &address), -999);
  EXPECT_EQ(open_descriptor_count(), before);
  gateway.control_url = "http://127.0.0.1";
  EXPECT_EQ(gateway_local_address(&gateway, &address), -893);
}

}  // namespace
