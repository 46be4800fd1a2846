// The actions against a scripted control URL on loopback: what goes out and what of
// each answer lands where.
#include <gtest/gtest.h>

#include "gateway/device_info.h"
#include "gateway/external_address.h"
#include "gateway/firewall.h"
#include "gateway/mapping.h"
#include "tests/support/error_print.h"
#include "tests/support/loopback_server.h"
#include "tests/support/router_replies.h"

namespace {

/// The body of the one request the server saw.
std::string posted_body(LoopbackServer& server) {
  std::string request = server.requests().at(0);
  return request.substr(request.find("\r\n\r\n") + 4);
}

struct AddressCase {
  std::string inner;
  Error result;
  std::string address;
};

TEST(ExternalAddress, Answers) {
  const AddressCase cases[] = {
      {"<NewExternalIPAddress>203.0.113.7</NewExternalIPAddress>", Error::kOk, "203.0.113.7"},
      {"<NewExternalIPAddress>\n  203.0.113.7\n</NewExternalIPAddress>", Error::kOk, "203.0.113.7"},
      {"<NewExternalIPAddress>" + std::string(31, '1') + "</NewExternalIPAddress>", Error::kOk,
       std::string(31, '1')},
      {"<NewExternalIPAddress>" + std::string(40, '2') + "</NewExternalIPAddress>", Error::kOk,
       std::string(31, '2')},
      // An empty address is an answer: a router with no public address says so.
      {"<NewExternalIPAddress></NewExternalIPAddress>", Error::kOk, ""},
      {"<NewExternalIPAddress>  </NewExternalIPAddress>", Error::kOk, ""},
      {"<NewExternalIPAddress/>", Error::kOk, ""},
      {"<Other>1.2.3.4</Other>", Error::kGatewayNoAddress, ""},
      {"<m:NewExternalIPAddress xmlns:m=\"x\">1.2.3.4</m:NewExternalIPAddress>",
       Error::kGatewayNoAddress, ""},
      {"<NewExternalIPAddress>1.2.3.4", Error::kGatewayUnparsable, ""},
      {"<Note>A&B</Note><NewExternalIPAddress>198.51.100.&</NewExternalIPAddress>", Error::kOk,
       "198.51.100.&"},
  };
  for (const AddressCase& c : cases) {
    LoopbackServer server({{soap_response("GetExternalIPAddress", c.inner)}});
    GatewayHandle gateway = gateway_at(server);
    std::string destination = "untouched";
    EXPECT_EQ(gateway_external_address(gateway, &destination), c.result) << c.inner;
    EXPECT_EQ(destination, c.result == Error::kOk ? c.address : "untouched") << c.inner;
  }
}

TEST(ExternalAddress, RefusalLeavesTheDestinationAlone) {
  LoopbackServer server({{"HTTP/1.1 501 Not Implemented\r\nContent-Length: 0\r\n\r\n"}});
  GatewayHandle gateway = gateway_at(server);
  std::string destination = "before";
  EXPECT_EQ(gateway_external_address(gateway, &destination), Error::kHttpNotOk);
  EXPECT_EQ(destination, "before");
  EXPECT_NE(
      server.requests().at(0).find("<u:GetExternalIPAddress xmlns:u=\"urn:schemas-upnp-org:"
                                   "service:WANIPConnection:1\">\r\n</u:GetExternalIPAddress>"),
      std::string::npos);
}

Error read_entry_from(const std::string& inner, MappingEntry* entry,
                      std::string* request = nullptr) {
  LoopbackServer server({{soap_response("GetGenericPortMappingEntry", inner)}});
  GatewayHandle gateway = gateway_at(server);
  Error error = gateway_mapping_entry(gateway, 40000, entry);
  if (request != nullptr) *request = posted_body(server);
  return error;
}

TEST(MappingEntry, FieldsOfAnAnswer) {
  MappingEntry entry;
  std::string request;
  ASSERT_EQ(
      read_entry_from("<NewRemoteHost></NewRemoteHost><NewExternalPort>8080</NewExternalPort>"
                      "<NewProtocol>TCP</NewProtocol><NewInternalPort>80</NewInternalPort>"
                      "<NewInternalClient>192.168.1.20</NewInternalClient>"
                      "<NewEnabled>1</NewEnabled>"
                      "<NewPortMappingDescription>AT&amp;T &lt;box&gt;</NewPortMappingDescription>"
                      "<NewLeaseDuration>0</NewLeaseDuration>",
                      &entry, &request),
      Error::kOk);
  EXPECT_EQ(entry.external_port, 8080);
  EXPECT_EQ(entry.internal_port, 80);
  EXPECT_EQ(entry.protocol, "TCP");
  EXPECT_EQ(entry.client, "192.168.1.20");
  EXPECT_EQ(entry.description, "AT&T <box>");
  EXPECT_EQ(entry.enabled, 1);
  EXPECT_NE(request.find("<NewPortMappingIndex>40000</NewPortMappingIndex>\r\n"),
            std::string::npos);
}

TEST(MappingEntry, MissingSplitAndOddValues) {
  MappingEntry entry;
  // Each read stands alone: what an answer lacks is empty or 0, never the entry before's.
  entry.client = "old";
  entry.description = "old";
  entry.internal_port = 9;
  ASSERT_EQ(
      read_entry_from("<NewProtocol>UDP</NewProtocol><NewExternalPort>7</NewExternalPort>", &entry),
      Error::kOk);
  EXPECT_EQ(entry.protocol, "UDP");
  EXPECT_EQ(entry.external_port, 7);
  EXPECT_EQ(entry.internal_port, 0);
  EXPECT_EQ(entry.enabled, 0);
  EXPECT_EQ(entry.client, "");
  EXPECT_EQ(entry.description, "");

  // Values split by references and line breaks are read whole; numbers and addresses
  // lose the white space around them, descriptions keep it.
  ASSERT_EQ(read_entry_from("<NewExternalPort>4&#48;000</NewExternalPort>"
                            "<NewInternalPort>\n  22\n</NewInternalPort>"
                            "<NewProtocol>\n tcp \n</NewProtocol>"
                            "<NewInternalClient>\n10.0.0.9\n</NewInternalClient>"
                            "<NewEnabled> 1 </NewEnabled>"
                            "<NewPortMappingDescription> two  blanks </NewPortMappingDescription>",
                            &entry),
            Error::kOk);
  EXPECT_EQ(entry.external_port, 40000);
  EXPECT_EQ(entry.internal_port, 22);
  EXPECT_EQ(entry.protocol, "tcp");
  EXPECT_EQ(entry.client, "10.0.0.9");
  EXPECT_EQ(entry.enabled, 1);
  EXPECT_EQ(entry.description, " two  blanks ");

  // Long texts: the client is cut to its field, the description lands whole.
  std::string sixty(60, 'd');
  ASSERT_EQ(
      read_entry_from("<NewInternalClient>" + std::string(40, '9') +
                          "</NewInternalClient>"
                          "<NewProtocol>TCPX2</NewProtocol>"
                          "<NewPortMappingDescription>" +
                          sixty +
                          "</NewPortMappingDescription>"
                          "<NewEnabled>true</NewEnabled><NewExternalPort>65537</NewExternalPort>",
                      &entry),
      Error::kOk);
  EXPECT_EQ(entry.client, std::string(31, '9'));
  EXPECT_EQ(entry.protocol, "TCPX");
  EXPECT_EQ(entry.description, sixty);
  EXPECT_EQ(entry.enabled, 1);  // a UPnP boolean
  // A number past 65535 is no port: kept as its text, never taken as port 1.
  EXPECT_EQ(entry.external_port, 0);
  EXPECT_EQ(entry.external_port_text, "65537");

  EXPECT_EQ(gateway_parse_mapping_entry("<r><NewProtocol>TCP", &entry), Error::kGatewayUnparsable);

  // Routers hand back a stored '&' unescaped: the answer is read, not refused.
  ASSERT_EQ(read_entry_from("<NewExternalPort>2000</NewExternalPort><NewProtocol>UDP</NewProtocol>"
                            "<NewPortMappingDescription>a&b &amp; &c;&</NewPortMappingDescription>"
                            "<NewInternalClient>10.0.0.2</NewInternalClient>",
                            &entry),
            Error::kOk);
  EXPECT_EQ(entry.description, "a&b & &c;&");
  EXPECT_EQ(entry.external_port, 2000);
  EXPECT_EQ(entry.client, "10.0.0.2");
}

TEST(MappingEntry, BytesXmlCannotCarryDoNotEndTheWalk) {
  MappingEntry entry;
  // miniupnpd 2.3.1 keeps 64 bytes of a description and hands back what follows its
  // buffer; other clients store Latin-1 and control characters as they come.
  ASSERT_EQ(read_entry_from("<NewExternalPort>17000</NewExternalPort><NewProtocol>TCP</NewProtocol>"
                            "<NewPortMappingDescription>" +
                                std::string(64, 'D') +
                                "P\xb5\x1d-\x99U</NewPortMappingDescription>"
                                "<NewInternalClient>192.168.77.2</NewInternalClient>",
                            &entry),
            Error::kOk);
  EXPECT_EQ(entry.description, std::string(64, 'D') + "P\xc2\xb5 -\xc2\x99U");
  EXPECT_EQ(entry.external_port, 17000);
  ASSERT_EQ(
      read_entry_from("<NewPortMappingDescription>caf\xe9 peer\x01</NewPortMappingDescription>"
                      "<NewProtocol>\xe9\xe9\xe9</NewProtocol><NewExternalPort>1</NewExternalPort>",
                      &entry),
      Error::kOk);
  EXPECT_EQ(entry.description, "caf\xc3\xa9 peer ");
  EXPECT_EQ(entry.protocol, "\xc3\xa9\xc3\xa9");  // cut where a character ends
}

class StoredDescription : public ::testing::TestWithParam<const char*> {};

TEST_P(StoredDescription, IsTextAndTheAnswerIsRead) {
  // Another client stored the text raw (wrapped in CDATA, which miniupnpd takes off), and
  // the router hands it back as it is.
  const std::string reply = soap_response("GetGenericPortMappingEntry",
                                          std::string("<NewExternalPort>81</NewExternalPort>"
                                                      "<NewProtocol>TCP</NewProtocol>"
                                                      "<NewPortMappingDescription>") +
                                              GetParam() +
                                              "</NewPortMappingDescription>"
                                              "<NewInternalClient>10.0.0.2</NewInternalClient>");
  MappingEntry entry;
  ASSERT_EQ(gateway_parse_mapping_entry(reply.substr(reply.find("\r\n\r\n") + 4), &entry),
            Error::kOk);
  EXPECT_EQ(entry.description, GetParam());
  EXPECT_EQ(entry.client, "10.0.0.2");
}

std::string markup_name(const ::testing::TestParamInfo<const char*>& info) {
  static const char* const kNames[] = {"Instruction", "Comment", "Cdata",
                                       "Doctype",     "OpenTag", "ClosedTags"};
  return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(Markup, StoredDescription,
                         ::testing::Values("a<?b", "a<!--b", "a<![CDATA[b", "<!DOCTYPE x>",
                                           "x<br>y", "x<b>y</b>z ]]>"),
                         markup_name);

TEST(Mapping, AddSendsOnlyWhatXmlCarries) {
  LoopbackServer server({{soap_response("AddPortMapping", "")}});
  GatewayHandle gateway = gateway_at(server);
  ASSERT_EQ(gateway_add_mapping(gateway, {"10.0.0.1", 7004, 80, "UDP",
                                          "caf\xe9 ctl\x01"
                                          "char"}),
            Error::kOk);
  std::string body = posted_body(server);
  EXPECT_NE(
      body.find("<NewPortMappingDescription>caf\xc3\xa9 ctl char</NewPortMappingDescription>"),
      std::string::npos)
      << body;
}

TEST(Mapping, AddSendsEscapedArguments) {
  LoopbackServer server({{soap_response("AddPortMapping", "")}});
  GatewayHandle gateway = gateway_at(server);
  ASSERT_EQ(gateway_add_mapping(gateway, {"192.168.1.20", 40000, 80, "tcp", "A&B <x> \"q\" 'a'"}),
            Error::kOk);
  std::string body = posted_body(server);
  EXPECT_NE(body.find("<NewRemoteHost></NewRemoteHost>\r\n"
                      "<NewExternalPort>40000</NewExternalPort>\r\n"
                      "<NewProtocol>TCP</NewProtocol>\r\n"  // as UPnP allows it, typed "tcp"
                      "<NewInternalPort>80</NewInternalPort>\r\n"
                      "<NewInternalClient>192.168.1.20</NewInternalClient>\r\n"
                      "<NewEnabled>1</NewEnabled>\r\n"
                      "<NewPortMappingDescription>A&amp;B &lt;x&gt; &quot;q&quot; &apos;a&apos;"
                      "</NewPortMappingDescription>\r\n"
                      "<NewLeaseDuration>0</NewLeaseDuration>\r\n"
                      "</u:AddPortMapping>"),
            std::string::npos)
      << body;
  EXPECT_NE(server.requests().at(0).find("SOAPACTION: \"urn:schemas-upnp-org:service:"
                                         "WANIPConnection:1#AddPortMapping\""),
            std::string::npos);
}

TEST(Mapping, AddWithoutClientUsesTheLocalAddress) {
  // One connection for the local-address query, one for the action.
  LoopbackServer server({{"", 0, false}, {soap_response("AddPortMapping", "")}});
  GatewayHandle gateway = gateway_at(server);
  ASSERT_EQ(gateway_add_mapping(gateway, {"", 1, 65535, "UDP", ""}), Error::kOk);
  std::string request = server.requests().at(1);
  EXPECT_NE(request.find("<NewInternalClient>127.0.0.1</NewInternalClient>"), std::string::npos);
  EXPECT_NE(request.find("<NewPortMappingDescription></NewPortMappingDescription>"),
            std::string::npos);
  EXPECT_NE(request.find("<NewExternalPort>1</NewExternalPort>"), std::string::npos);
  EXPECT_NE(request.find("<NewInternalPort>65535</NewInternalPort>"), std::string::npos);
}

TEST(Mapping, RefusalsAreRecognisedFromTheFault) {
  LoopbackServer server({{fault_response(718)},
                         {fault_response(501)},
                         {fault_response(402)},
                         {fault_response(402)},
                         {fault_response(714)},
                         {fault_response(606)},
                         {soap_response("DeletePortMapping", "")}});
  GatewayHandle gateway = gateway_at(server);
  const MappingRequest add{"10.0.0.2", 80, 80, "TCP", ""};
  EXPECT_EQ(gateway_add_mapping(gateway, add), Error::kGatewayMappingRefused);
  EXPECT_EQ(gateway_add_mapping(gateway, add), Error::kHttpNotOk);
  // 402 to a lease is a router that takes none (as 725); to a permanent add, a refusal.
  MappingRequest leased = add;
  leased.lease_seconds = 3600;
  EXPECT_EQ(gateway_add_mapping(gateway, leased), Error::kGatewayOnlyPermanent);
  EXPECT_EQ(gateway_add_mapping(gateway, add), Error::kHttpNotOk);
  EXPECT_EQ(gateway_delete_mapping(gateway, 80, "TCP"), Error::kGatewayMappingRefused);
  EXPECT_EQ(gateway_delete_mapping(gateway, 80, "TCP"), Error::kHttpNotOk);
  EXPECT_EQ(gateway_delete_mapping(gateway, 443, "udp"), Error::kOk);
  std::vector<std::string> requests = server.requests();
  EXPECT_NE(requests[6].find("<NewRemoteHost></NewRemoteHost>\r\n"
                             "<NewExternalPort>443</NewExternalPort>\r\n"
                             "<NewProtocol>UDP</NewProtocol>\r\n</u:DeletePortMapping>"),
            std::string::npos);
}

/// A description offering WANIPConnection of `version`.
std::string description_offering(int version) {
  return "<root><device><serviceList><service><serviceType>"
         "urn:schemas-upnp-org:service:WANIPConnection:" +
         std::to_string(version) + "</serviceType></service></serviceList></device></root>";
}

struct AnyPortCase {
  const char* name;
  int version;         // of the description's WANIPConnection
  std::string answer;  // none: no request may go out
  Error result;
  uint16_t granted;
};

TEST(Mapping, AddAnyPortTakesTheReservedPort) {
  const AnyPortCase cases[] = {
      {"control: v2 grants", 2,
       soap_response("AddAnyPortMapping", "<NewReservedPort>2224</NewReservedPort>"), Error::kOk,
       2224},
      {"v1: not asked", 1, "", Error::kGatewayNoAnyPort, 0},
      {"401 Invalid Action", 2, fault_response(401), Error::kGatewayNoAnyPort, 0},
      {"602 not implemented", 2, fault_response(602), Error::kGatewayNoAnyPort, 0},
      {"718 conflict", 2, fault_response(718), Error::kGatewayMappingRefused, 0},
      {"no port", 2, soap_response("AddAnyPortMapping", "<NewReservedPort>0</NewReservedPort>"),
       Error::kGatewayNoEntry, 0},
  };
  for (const AnyPortCase& c : cases) {
    std::vector<ScriptedReply> replies;
    if (!c.answer.empty()) replies.push_back({c.answer});
    LoopbackServer server(replies);
    GatewayHandle gateway = gateway_at(server);
    gateway.device_description = description_offering(c.version);
    EXPECT_EQ(gateway_offers_any_port(gateway), c.version >= 2) << c.name;
    uint16_t granted = 0;
    const MappingRequest add{"10.0.0.2", 2222, 22, "TCP", "ssh", 0, true};
    EXPECT_EQ(gateway_add_any_mapping(gateway, add, &granted), c.result) << c.name;
    EXPECT_EQ(granted, c.granted) << c.name;
    EXPECT_EQ(server.requests().size(), c.answer.empty() ? 0u : 1u) << c.name;
    if (!c.answer.empty()) {
      // Asked under version 2's name, the port asked for as the wish.
      EXPECT_NE(server.requests()[0].find(
                    "urn:schemas-upnp-org:service:WANIPConnection:2#AddAnyPortMapping"),
                std::string::npos)
          << c.name;
      EXPECT_NE(posted_body(server).find("<NewExternalPort>2222</NewExternalPort>"),
                std::string::npos)
          << c.name;
    }
  }
}

struct NumbersCase {
  const char* enabled;
  const char* lease;
  int32_t enabled_read;
  bool lease_known;
  uint32_t lease_read;
};

TEST(MappingEntry, NumbersAndBooleansWithinTheirBounds) {
  const NumbersCase cases[] = {
      // NewEnabled: a number other than 0 is enabled, the words are UPnP booleans, any
      // other text is unknown; controls first.
      {"1", "0", 1, true, 0},
      {"0", "3600", 0, true, 3600},
      {"7", "4294967295", 1, true, 4294967295u},
      {"-2", "", 1, true, 0},
      {"000", " 60 ", 0, true, 60},
      {"99999999999999999999999", "0", 1, true, 0},
      {"Yes", "0", 1, true, 0},
      {"no", "0", 0, true, 0},
      {"FALSE", "0", 0, true, 0},
      {"maybe", "0", -1, true, 0},
      {"1x", "0", -1, true, 0},
      // A lease past 32 bits, or no number, is unknown: never wrapped to 0 (permanent).
      {"1", "4294967296", 1, false, 0},
      {"1", "-5", 1, false, 0},
      {"1", "1e3", 1, false, 0},
  };
  for (const NumbersCase& c : cases) {
    MappingEntry entry;
    ASSERT_EQ(
        gateway_parse_mapping_entry(
            std::string("<r><NewExternalPort>1</NewExternalPort><NewProtocol>TCP</NewProtocol>"
                        "<NewEnabled>") +
                c.enabled + "</NewEnabled><NewLeaseDuration>" + c.lease + "</NewLeaseDuration></r>",
            &entry),
        Error::kOk);
    EXPECT_EQ(entry.enabled, c.enabled_read) << c.enabled;
    EXPECT_EQ(entry.lease_known, c.lease_known) << c.lease;
    EXPECT_EQ(entry.lease_seconds, c.lease_read) << c.lease;
  }
}

struct PinholeIdCase {
  const char* inner;
  Error result;
  uint16_t id;
};

TEST(Firewall, PinholeIdsAndCounts) {
  const PinholeIdCase ids[] = {
      {"<UniqueID>56</UniqueID>", Error::kOk, 56},
      {"<UniqueID> 0 </UniqueID>", Error::kOk, 0},
      {"<UniqueID>65535</UniqueID>", Error::kOk, 65535},
      // Elements inside the ID would run their texts together into another number.
      {"<UniqueID>5<b>6</b></UniqueID>", Error::kGatewayNoPinholeId, 0},
      {"<UniqueID>abc</UniqueID>", Error::kGatewayNoPinholeId, 0},
      {"<UniqueID>65536</UniqueID>", Error::kGatewayNoPinholeId, 0},
      {"<Other>5</Other>", Error::kGatewayNoPinholeId, 0},
  };
  for (const PinholeIdCase& c : ids) {
    uint16_t id = 0;
    std::string text;
    EXPECT_EQ(pinhole_parse_id(std::string("<r>") + c.inner + "</r>", &id, &text), c.result)
        << c.inner;
    EXPECT_EQ(id, c.id) << c.inner;
  }

  // Past 32 bits a packet count is read whole; past 64 it is unknown, kept as written.
  LoopbackServer server(
      {{soap_response("CheckPinholeWorking", "<IsWorking>maybe</IsWorking>")},
       {soap_response("GetPinholePackets", "<PinholePackets>9999999999</PinholePackets>")},
       {soap_response("CheckPinholeWorking", "<IsWorking>yes</IsWorking>")},
       {soap_response("GetPinholePackets",
                      "<PinholePackets>18446744073709551616</PinholePackets>")}});
  GatewayHandle gateway = gateway_at(server);
  PinholeCheck check;
  int fault = 0;
  ASSERT_EQ(pinhole_check(gateway, 3, &check, &fault), Error::kOk);
  EXPECT_FALSE(check.working_known);
  EXPECT_EQ(check.working_text, "maybe");
  EXPECT_TRUE(check.packets_known);
  EXPECT_EQ(check.packets, 9999999999u);
  ASSERT_EQ(pinhole_check(gateway, 3, &check, &fault), Error::kOk);
  EXPECT_TRUE(check.working_known && check.working);
  EXPECT_FALSE(check.packets_known);
  EXPECT_EQ(check.packets_text, "18446744073709551616");
}

/// A check the router will not make (403, as a FRITZ!Box answers; 401, 602) is an
/// unknown answer with the router's error; "no traffic seen" (709) an unknown one alone;
/// a refusal of the pinhole itself (704) a failure.
TEST(Firewall, ACheckTheRouterWillNotMakeIsUnknownWithItsError) {
  struct Case {
    int fault;
    Error result;
    int kept;
  };
  for (const Case c :
       {Case{403, Error::kOk, 403}, Case{401, Error::kOk, 401}, Case{602, Error::kOk, 602},
        Case{709, Error::kOk, 0}, Case{704, Error::kHttpNotOk, 0}}) {
    std::vector<ScriptedReply> answers{{fault_response(c.fault)}};
    if (c.result == Error::kOk) answers.push_back({fault_response(c.fault)});  // the packets
    LoopbackServer server(answers);
    GatewayHandle gateway = gateway_at(server);
    PinholeCheck check;
    int fault = 0;
    EXPECT_EQ(pinhole_check(gateway, 3, &check, &fault), c.result) << c.fault;
    EXPECT_FALSE(check.working_known || check.packets_known) << c.fault;
    EXPECT_EQ(check.working_fault, c.kept) << c.fault;
    if (c.result == Error::kOk) {
      EXPECT_EQ(check.packets_fault, c.kept) << c.fault;
    }
  }
}

TEST(DeviceInfo, IdentityTexts) {
  GatewayHandle gateway;
  gateway.device_description =
      "<root><device><friendlyName>A</friendlyName><manufacturer>AT&amp;T Labs</manufacturer>"
      "<manufacturerURL>http://m/</manufacturerURL><modelDescription>\n  Home gateway\n"
      "</modelDescription><modelName>M</modelName><modelNumber>1</modelNumber>"
      "<modelURL>http://u/</modelURL><serialNumber>S" +
      std::string(60, '0') +
      "</serialNumber>"
      "<upc>lower-case upc</upc><presentationURL>http://p/?a=1&b=2</presentationURL>"
      "<deviceList><device><friendlyName>B</friendlyName><UPC></UPC></device></deviceList>"
      "</device></root>";
  DeviceInfo info;
  ASSERT_EQ(gateway_device_info(gateway, &info), Error::kOk);
  EXPECT_EQ(info.presentation_url, "http://p/?a=1&b=2");
  EXPECT_EQ(info.friendly_name, "B");  // the embedded device's, last in document order
  EXPECT_EQ(info.manufacturer_url, "http://m/");
  EXPECT_EQ(info.manufacturer, "AT&T Labs");
  EXPECT_EQ(info.model_description, "Home gateway");
  EXPECT_EQ(info.model_name, "M");
  EXPECT_EQ(info.upc, "");  // no UPC with text; "upc" is another name
  EXPECT_EQ(info.model_number, "1");
  EXPECT_EQ(info.model_url, "http://u/");
  EXPECT_EQ(info.serial_number, "S" + std::string(48, '0'));

  // Cut to the field where a character ends: 24 e-acutes (48 bytes), not 24 and a half.
  std::string accented;
  for (int i = 0; i < 30; ++i) accented += "\xc3\xa9";
  gateway.device_description = "<root><manufacturer>" + accented + "</manufacturer></root>";
  DeviceInfo cut;
  ASSERT_EQ(gateway_device_info(gateway, &cut), Error::kOk);
  EXPECT_EQ(cut.manufacturer, accented.substr(0, 48));

  gateway.device_description = "<root><friendlyName>x</friendlyName>";
  DeviceInfo untouched;
  untouched.friendly_name = "before";
  EXPECT_EQ(gateway_device_info(gateway, &untouched), Error::kGatewayUnparsable);
  EXPECT_EQ(untouched.friendly_name, "before");
}

}  // namespace
