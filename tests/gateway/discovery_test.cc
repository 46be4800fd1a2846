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

TEST(Discovery, RepliesAreJudgedByWhatTheyPointTo) {
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string location = "LOCATION: http://10.0.0.1:5000/d.xml\r\n";
  const std::string service = "ST: urn:schemas-upnp-org:service:";
  const std::string device = "ST: urn:schemas-upnp-org:device:";
  const Error other = Error::kSsdpOtherTarget;
  const struct {
    std::string reply;
    Error result;
    ReplyRule rule;
  } cases[] = {
      {ok + service + "WANIPConnection:1\r\n" + location + "\r\n", Error::kOk, ReplyRule::kService},
      {ok + location + service + "WANPPPConnection:1\r\n\r\n", Error::kOk, ReplyRule::kService},
      {ok + "st:  " + service.substr(4) + "WANIPConnection:2  \r\n" + location, Error::kOk,
       ReplyRule::kService},
      // The forms real routers answer with: their device types, root device, uuid.
      {ok + device + "InternetGatewayDevice:1\r\n" + location, Error::kOk,
       ReplyRule::kGatewayDevice},
      {ok + device + "InternetGatewayDevice:2\r\n" + location, Error::kOk,
       ReplyRule::kGatewayDevice},
      {ok + device + "WANDevice:1\r\n" + location, Error::kOk, ReplyRule::kGatewayDevice},
      {ok + device + "WANConnectionDevice:1\r\n" + location, Error::kOk, ReplyRule::kGatewayDevice},
      {ok + "ST: upnp:rootdevice\r\n" + location, Error::kOk, ReplyRule::kAnyDevice},
      {ok + "ST: uuid:12345678-1234-1234-1234-123456789abc\r\n" + location, Error::kOk,
       ReplyRule::kAnyDevice},
      // What other devices answer is passed over unread, and so is a reply without an ST.
      {ok + location, other, ReplyRule::kAnyDevice},
      {ok + device + "MediaRenderer:1\r\n" + location, other, ReplyRule::kAnyDevice},
      {ok + "ST: urn:dial-multiscreen-org:service:dial:1\r\n" + location, other,
       ReplyRule::kAnyDevice},
      {ok + device + "InternetGatewayDevice:0\r\n" + location, other, ReplyRule::kAnyDevice},
      {ok + service + "WANIPConnection:0\r\n" + location, other, ReplyRule::kAnyDevice},
      {ok + service + "WANIP\r\n" + location, other, ReplyRule::kAnyDevice},
      {ok + service + "WANIPConnection:1\r\n", Error::kSsdpNoLocation, ReplyRule::kAnyDevice},
      {"HTTP/1.1 400 Bad Request\r\n" + service + "WANIPConnection:1\r\n" + location,
       Error::kSsdpNot200, ReplyRule::kAnyDevice},
      {"HTTP/1.1 200 OK\n" + service + "WANIPConnection:1\nLOCATION: http://h/d\n\n",
       Error::kSsdpNoLocation, ReplyRule::kAnyDevice},
      {std::string(40, '\x9c'), Error::kSsdpNot200, ReplyRule::kAnyDevice},
  };
  for (const auto& c : cases) {
    std::string location_out;
    ReplyRule rule = ReplyRule::kAnyDevice;
    EXPECT_EQ(discovery_read_reply(c.reply, &location_out, &rule), c.result) << c.reply;
    if (c.result == Error::kOk) {
      EXPECT_EQ(rule, c.rule) << c.reply;
      EXPECT_EQ(location_out, "http://10.0.0.1:5000/d.xml") << c.reply;
    }
  }
}

TEST(Discovery, DescriptionFetchTriesAgainOnlyAfterTransportFailures) {
  const std::string description = "<root>desc</root>";
  // A connection closed without a byte, a body cut short and not XML, then the document.
  LoopbackServer flaky(
      {{""}, {"HTTP/1.1 200 OK\r\nContent-Length: 17\r\n\r\n<root>de"}, {http_ok(description)}});
  const std::string base = "http://127.0.0.1:" + std::to_string(flaky.port());
  std::string text;
  EXPECT_EQ(fetch_description(base + "/d.xml", &text), Error::kOk);
  EXPECT_EQ(text, description);
  EXPECT_EQ(flaky.requests().size(), 3u);

  // A refusal is an answer: asked once. A short body that parses is read as it came.
  LoopbackServer answers({{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
                          {"HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n<root/>"}});
  const std::string other = "http://127.0.0.1:" + std::to_string(answers.port());
  EXPECT_EQ(fetch_description(other + "/d.xml", &text), Error::kHttpNotOk);
  EXPECT_EQ(fetch_description(other + "/d.xml", &text), Error::kOk);
  EXPECT_EQ(text, "<root/>");

  // Three failures in transport: the last one's error.
  LoopbackServer silent({{""}, {""}, {""}});
  EXPECT_EQ(fetch_description("http://127.0.0.1:" + std::to_string(silent.port()) + "/d", &text),
            Error::kHttpNoHead);
  EXPECT_EQ(silent.requests().size(), 3u);
}

// Each rule of the choice beside its control: the default gateway's address against
// another's, zones and spellings of one address alike.
TEST(Discovery, TheChoiceIsReadFromWhereTheRouterAnswered) {
  const struct {
    const char* from;
    const char* default_gateway;
    GatewayChoice choice;
    const char* name;
  } cases[] = {
      {"", "", GatewayChoice::kNamed, "named"},
      {"", "192.168.1.1", GatewayChoice::kNamed, "named"},
      {"192.168.1.7", "", GatewayChoice::kFirstAnswer, "first_answer"},
      {"192.168.1.1", "192.168.1.1", GatewayChoice::kDefaultGateway, "default_gateway"},
      {"192.168.1.7", "192.168.1.1", GatewayChoice::kBesideDefault, "default_gateway_not_upnp"},
      {"fe80::1", "fe80::1%2", GatewayChoice::kDefaultGateway, "default_gateway"},
      {"fe80::1", "fe80::2%2", GatewayChoice::kBesideDefault, "default_gateway_not_upnp"},
      {"fe80:0::1", "FE80::1", GatewayChoice::kDefaultGateway, "default_gateway"},
  };
  for (const auto& c : cases) {
    GatewayHandle gateway;
    gateway.answered_from = c.from;
    gateway.default_gateway = c.default_gateway;
    EXPECT_EQ(gateway_choice(gateway), c.choice) << c.from << " " << c.default_gateway;
    EXPECT_STREQ(gateway_choice_name(gateway_choice(gateway)), c.name) << c.from;
  }
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
