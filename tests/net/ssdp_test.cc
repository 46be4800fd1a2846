#include "net/ssdp.h"

#include <gtest/gtest.h>

#include "tests/support/error_print.h"

namespace {

TEST(Ssdp, SearchDatagram) {
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
  Error result;
  std::string location;
};

TEST(Ssdp, TheIpv6SearchNamesItsGroup) {
  EXPECT_EQ(ssdp_search_text("urn:schemas-upnp-org:service:WANIPv6FirewallControl:1", true),
            "M-SEARCH * HTTP/1.1\r\nMX: 2\r\nHOST: [FF02::C]:1900\r\nMAN: \"ssdp:discover\"\r\n"
            "ST: urn:schemas-upnp-org:service:WANIPv6FirewallControl:1\r\n\r\n");
}

TEST(Ssdp, LocationHeader) {
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const LocationCase cases[] = {
      {ok + "CACHE-CONTROL: max-age=120\r\nLOCATION: http://10.0.0.1:5000/Desc.XML\r\n\r\n",
       Error::kOk, "http://10.0.0.1:5000/Desc.XML"},
      {ok + "Location: http://a/b\r\n\r\n", Error::kOk, "http://a/b"},
      {ok + "location:http://a/b\r\n\r\n", Error::kOk, "http://a/b"},
      {ok + "location: \t http://a/b  trailing\r\n\r\n", Error::kOk, "http://a/b"},
      {ok + "LOCATION: http://first/\r\nLOCATION: http://second/\r\n\r\n", Error::kOk,
       "http://first/"},
      {ok + " LOCATION: http://a/b\r\n\r\n", Error::kSsdpNoLocation, ""},
      {ok + "LOCATION : http://a/b\r\n\r\n", Error::kSsdpNoLocation, ""},
      {ok + "LOCATION: http://a/b", Error::kSsdpNoLocation, ""},  // no closing CR LF
      {"HTTP/1.1 200 OK\nLOCATION: http://a/b\n\n", Error::kSsdpNoLocation, ""},
      {ok + "LOCATION:   \r\nX: http://not-this/\r\n\r\n", Error::kSsdpNoLocation, ""},
      {"HTTP/1.1 404 Not Found\r\nLOCATION: http://a/b\r\n\r\n", Error::kSsdpNot200, ""},
      {"HTTP/1.0 200 ok\r\nLOCATION: http://a/b\r\n\r\n", Error::kOk, "http://a/b"},
      {"LOCATION: http://a/b\r\n\r\n", Error::kSsdpNot200, ""},
      // The 200 is the status line's, not any "200 OK" elsewhere in the datagram.
      {"LOCATION: http://a/b 200 OK\r\n\r\n", Error::kSsdpNot200, ""},
      {"HTTP/1.1 500 Error\r\nX: 200 OK\r\nLOCATION: http://a/b\r\n\r\n", Error::kSsdpNot200, ""},
  };
  for (const LocationCase& c : cases) {
    std::string location = "unset";
    EXPECT_EQ(ssdp_location(c.reply, &location), c.result) << c.reply;
    EXPECT_EQ(location, c.result == Error::kOk ? c.location : "unset") << c.reply;
  }
}

TEST(Ssdp, LocationLengthLimit) {
  std::string url511 = "http://h/" + std::string(511 - 9, 'x');
  std::string location;
  ASSERT_EQ(ssdp_location("HTTP/1.1 200 OK\r\nLOCATION: " + url511 + "\r\n\r\n", &location),
            Error::kOk);
  EXPECT_EQ(location, url511);
  EXPECT_EQ(ssdp_location("HTTP/1.1 200 OK\r\nLOCATION: " + url511 + "x\r\n\r\n", &location),
            Error::kGatewayTooLong);
}

TEST(Ssdp, HeaderValues) {
  const std::string reply =
      "HTTP/1.1 200 OK\r\nst:  urn:x:1 \r\nLOCATION: http://a/b\r\nServer: x\r\nEXT: last";
  EXPECT_EQ(ssdp_header(reply, "ST"), "urn:x:1");
  EXPECT_EQ(ssdp_header(reply, "location"), "http://a/b");
  EXPECT_EQ(ssdp_header(reply, "EXT"), "");                    // no CR LF ends it
  EXPECT_EQ(ssdp_header(reply, "USN"), "");                    // not there
  EXPECT_EQ(ssdp_header("ST: first line\r\n\r\n", "ST"), "");  // the first line never counts
}

}  // namespace
