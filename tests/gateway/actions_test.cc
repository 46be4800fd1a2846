// The actions against a scripted control URL on loopback: what goes out and what of
// each answer lands where.
#include <gtest/gtest.h>

#include <cstring>

#include "gateway/device_info.h"
#include "gateway/external_address.h"
#include "gateway/mapping.h"
#include "tests/support/loopback_server.h"

namespace {

GatewayHandle gateway_at(const LoopbackServer& server) {
  GatewayHandle gateway;
  gateway.service_type = "WANIPConnection:1";
  gateway.control_url = "http://127.0.0.1:" + std::to_string(server.port()) + "/ctl";
  return gateway;
}

std::string response(const std::string& action, const std::string& inner) {
  return http_ok(
      "<?xml version=\"1.0\"?>\r\n<s:Envelope "
      "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
      "<s:Body><u:" +
      action + "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" + inner +
      "</u:" + action + "Response></s:Body></s:Envelope>");
}

/// The body of the one request the server saw.
std::string posted_body(LoopbackServer& server) {
  std::string request = server.requests().at(0);
  return request.substr(request.find("\r\n\r\n") + 4);
}

struct AddressCase {
  std::string inner;
  int result;
  std::string address;
};

TEST(ExternalAddress, Answers) {
  const AddressCase cases[] = {
      {"<NewExternalIPAddress>203.0.113.7</NewExternalIPAddress>", 0, "203.0.113.7"},
      {"<NewExternalIPAddress>\n  203.0.113.7\n</NewExternalIPAddress>", 0, "203.0.113.7"},
      {"<NewExternalIPAddress>" + std::string(31, '1') + "</NewExternalIPAddress>", 0,
       std::string(31, '1')},
      {"<NewExternalIPAddress>" + std::string(40, '2') + "</NewExternalIPAddress>", 0,
       std::string(31, '2')},
      {"<NewExternalIPAddress></NewExternalIPAddress>", kGatewayNoAddress, ""},
      {"<NewExternalIPAddress>  </NewExternalIPAddress>", kGatewayNoAddress, ""},
      {"<Other>1.2.3.4</Other>", kGatewayNoAddress, ""},
      {"<m:NewExternalIPAddress xmlns:m=\"x\">1.2.3.4</m:NewExternalIPAddress>", kGatewayNoAddress,
       ""},
      {"<NewExternalIPAddress>1.2.3.4", kGatewayUnparsable, ""},
      {"<Note>A&B</Note><NewExternalIPAddress>198.51.100.&</NewExternalIPAddress>", 0,
       "198.51.100.&"},
  };
  for (const AddressCase& c : cases) {
    LoopbackServer server({{response("GetExternalIPAddress", c.inner)}});
    GatewayHandle gateway = gateway_at(server);
    char destination[32];
    std::memset(destination, 'z', sizeof(destination));
    EXPECT_EQ(gateway_external_address(&gateway, destination, sizeof(destination)), c.result)
        << c.inner;
    if (c.result == 0) {
      EXPECT_EQ(std::string(destination), c.address) << c.inner;
    } else {
      EXPECT_EQ(destination[0], 'z') << "written on failure: " << c.inner;
    }
  }
}

TEST(ExternalAddress, RefusalLeavesTheDestinationAlone) {
  LoopbackServer server({{"HTTP/1.1 501 Not Implemented\r\nContent-Length: 0\r\n\r\n"}});
  GatewayHandle gateway = gateway_at(server);
  char destination[32] = "before";
  EXPECT_EQ(gateway_external_address(&gateway, destination, sizeof(destination)), -894);
  EXPECT_STREQ(destination, "before");
  EXPECT_NE(
      server.requests().at(0).find("<u:GetExternalIPAddress xmlns:u=\"urn:schemas-upnp-org:"
                                   "service:WANIPConnection:1\">\r\n</u:GetExternalIPAddress>"),
      std::string::npos);
}

struct Entry {
  uint16_t external_port = 1;
  uint16_t internal_port = 1;
  char protocol[5] = "old";
  char client[32] = "old";
  std::string description = "old";
  int32_t enabled = 7;
};

int read_entry_from(const std::string& inner, Entry* entry, std::string* request = nullptr) {
  LoopbackServer server({{response("GetGenericPortMappingEntry", inner)}});
  GatewayHandle gateway = gateway_at(server);
  MappingEntryFields fields{&entry->external_port,   &entry->internal_port, entry->protocol,
                            sizeof(entry->protocol), entry->client,         sizeof(entry->client),
                            &entry->description,     &entry->enabled};
  int code = gateway_mapping_entry(&gateway, 40000, fields);
  if (request != nullptr) *request = posted_body(server);
  return code;
}

TEST(MappingEntry, FieldsOfAnAnswer) {
  Entry entry;
  std::string request;
  ASSERT_EQ(
      read_entry_from("<NewRemoteHost></NewRemoteHost><NewExternalPort>8080</NewExternalPort>"
                      "<NewProtocol>TCP</NewProtocol><NewInternalPort>80</NewInternalPort>"
                      "<NewInternalClient>192.168.1.20</NewInternalClient>"
                      "<NewEnabled>1</NewEnabled>"
                      "<NewPortMappingDescription>AT&amp;T &lt;box&gt;</NewPortMappingDescription>"
                      "<NewLeaseDuration>0</NewLeaseDuration>",
                      &entry, &request),
      0);
  EXPECT_EQ(entry.external_port, 8080);
  EXPECT_EQ(entry.internal_port, 80);
  EXPECT_STREQ(entry.protocol, "TCP");
  EXPECT_STREQ(entry.client, "192.168.1.20");
  EXPECT_EQ(entry.description, "AT&T <box>");
  EXPECT_EQ(entry.enabled, 1);
  EXPECT_NE(request.find("<NewPortMappingIndex>40000</NewPortMappingIndex>\r\n"),
            std::string::npos);
}

TEST(MappingEntry, MissingSplitAndOddValues) {
  Entry entry;
  // Missing texts keep their content; missing numbers become 0.
  ASSERT_EQ(read_entry_from("<NewProtocol>UDP</NewProtocol>", &entry), 0);
  EXPECT_EQ(entry.external_port, 0);
  EXPECT_EQ(entry.internal_port, 0);
  EXPECT_EQ(entry.enabled, 0);
  EXPECT_STREQ(entry.client, "old");
  EXPECT_EQ(entry.description, "old");

  // An empty element is present: it empties its text.
  ASSERT_EQ(read_entry_from("<NewPortMappingDescription></NewPortMappingDescription>"
                            "<NewInternalClient/>",
                            &entry),
            0);
  EXPECT_EQ(entry.description, "");
  EXPECT_STREQ(entry.client, "");

  // Values split by references and line breaks are read whole; numbers and addresses
  // lose the white space around them, descriptions keep it.
  ASSERT_EQ(read_entry_from("<NewExternalPort>4&#48;000</NewExternalPort>"
                            "<NewInternalPort>\n  22\n</NewInternalPort>"
                            "<NewProtocol>\n tcp \n</NewProtocol>"
                            "<NewInternalClient>\n10.0.0.9\n</NewInternalClient>"
                            "<NewEnabled> 1 </NewEnabled>"
                            "<NewPortMappingDescription> two  blanks </NewPortMappingDescription>",
                            &entry),
            0);
  EXPECT_EQ(entry.external_port, 40000);
  EXPECT_EQ(entry.internal_port, 22);
  EXPECT_STREQ(entry.protocol, "tcp");
  EXPECT_STREQ(entry.client, "10.0.0.9");
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
      0);
  EXPECT_STREQ(entry.client, std::string(31, '9').c_str());
  EXPECT_STREQ(entry.protocol, "TCPX");
  EXPECT_EQ(entry.description, sixty);
  EXPECT_EQ(entry.enabled, 0);
  EXPECT_EQ(entry.external_port, 1);  // low 16 bits

  EXPECT_EQ(read_entry_from("<NewProtocol>TCP", &entry), kGatewayUnparsable);

  // Routers hand back a stored '&' unescaped: the answer is read, not refused.
  ASSERT_EQ(read_entry_from("<NewExternalPort>2000</NewExternalPort>"
                            "<NewPortMappingDescription>a&b &amp; &c;&</NewPortMappingDescription>"
                            "<NewInternalClient>10.0.0.2</NewInternalClient>",
                            &entry),
            0);
  EXPECT_EQ(entry.description, "a&b & &c;&");
  EXPECT_EQ(entry.external_port, 2000);
  EXPECT_STREQ(entry.client, "10.0.0.2");
}

TEST(MappingEntry, BytesXmlCannotCarryDoNotEndTheWalk) {
  Entry entry;
  // miniupnpd 2.3.1 keeps 64 bytes of a description and hands back what follows its
  // buffer; other clients store Latin-1 and control characters as they come.
  ASSERT_EQ(read_entry_from("<NewExternalPort>17000</NewExternalPort>"
                            "<NewPortMappingDescription>" +
                                std::string(64, 'D') +
                                "P\xb5\x1d-\x99U</NewPortMappingDescription>"
                                "<NewInternalClient>192.168.77.2</NewInternalClient>",
                            &entry),
            0);
  EXPECT_EQ(entry.description, std::string(64, 'D') + "P\xc2\xb5 -\xc2\x99U");
  EXPECT_EQ(entry.external_port, 17000);
  ASSERT_EQ(
      read_entry_from("<NewPortMappingDescription>caf\xe9 peer\x01</NewPortMappingDescription>"
                      "<NewProtocol>\xe9\xe9\xe9</NewProtocol>",
                      &entry),
      0);
  EXPECT_EQ(entry.description, "caf\xc3\xa9 peer ");
  EXPECT_STREQ(entry.protocol, "\xc3\xa9\xc3\xa9");  // cut where a character ends
}

TEST(Mapping, AddSendsOnlyWhatXmlCarries) {
  LoopbackServer server({{response("AddPortMapping", "")}});
  GatewayHandle gateway = gateway_at(server);
  ASSERT_EQ(gateway_add_mapping(&gateway, "10.0.0.1", 7004, 80, "UDP",
                                "caf\xe9 ctl\x01"
                                "char"),
            0);
  std::string body = posted_body(server);
  EXPECT_NE(
      body.find("<NewPortMappingDescription>caf\xc3\xa9 ctl char</NewPortMappingDescription>"),
      std::string::npos)
      << body;
}

TEST(Mapping, AddSendsEscapedArguments) {
  LoopbackServer server({{response("AddPortMapping", "")}});
  GatewayHandle gateway = gateway_at(server);
  ASSERT_EQ(gateway_add_mapping(&gateway, "192.168.1.20", 40000, 80, "tcp", "A&B <x> \"q\" 'a'"),
            0);
  std::string body = posted_body(server);
  EXPECT_NE(body.find("<NewRemoteHost></NewRemoteHost>\r\n"
                      "<NewExternalPort>40000</NewExternalPort>\r\n"
                      "<NewProtocol>tcp</NewProtocol>\r\n"
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
  LoopbackServer server({{"", 0, false}, {response("AddPortMapping", "")}});
  GatewayHandle gateway = gateway_at(server);
  ASSERT_EQ(gateway_add_mapping(&gateway, nullptr, 1, 65535, "UDP", ""), 0);
  std::string request = server.requests().at(1);
  EXPECT_NE(request.find("<NewInternalClient>127.0.0.1</NewInternalClient>"), std::string::npos);
  EXPECT_NE(request.find("<NewPortMappingDescription></NewPortMappingDescription>"),
            std::string::npos);
  EXPECT_NE(request.find("<NewExternalPort>1</NewExternalPort>"), std::string::npos);
  EXPECT_NE(request.find("<NewInternalPort>65535</NewInternalPort>"), std::string::npos);
}

std::string fault_reply(int code) {
  std::string fault =
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
      "<s:Fault><detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">"
      "<errorCode>" +
      std::to_string(code) +
      "</errorCode></UPnPError></detail>"
      "</s:Fault></s:Body></s:Envelope>";
  return "HTTP/1.1 500 Internal Server Error\r\nContent-Length: " + std::to_string(fault.size()) +
         "\r\n\r\n" + fault;
}

TEST(Mapping, RefusalsAreRecognisedFromTheFault) {
  LoopbackServer server({{fault_reply(718)},
                         {fault_reply(501)},
                         {fault_reply(714)},
                         {fault_reply(606)},
                         {response("DeletePortMapping", "")}});
  GatewayHandle gateway = gateway_at(server);
  EXPECT_EQ(gateway_add_mapping(&gateway, "10.0.0.2", 80, 80, "TCP", ""), kGatewayMappingRefused);
  EXPECT_EQ(gateway_add_mapping(&gateway, "10.0.0.2", 80, 80, "TCP", ""), -894);
  EXPECT_EQ(gateway_delete_mapping(&gateway, 80, "TCP"), kGatewayMappingRefused);
  EXPECT_EQ(gateway_delete_mapping(&gateway, 80, "TCP"), -894);
  EXPECT_EQ(gateway_delete_mapping(&gateway, 443, "udp"), 0);
  std::vector<std::string> requests = server.requests();
  EXPECT_NE(requests[4].find("<NewRemoteHost></NewRemoteHost>\r\n"
                             "<NewExternalPort>443</NewExternalPort>\r\n"
                             "<NewProtocol>udp</NewProtocol>\r\n</u:DeletePortMapping>"),
            std::string::npos);
}

struct InfoFields {
  char texts[10][50];
  InfoFields() { std::memset(texts, 0, sizeof(texts)); }
  DeviceInfoFields fields() {
    return {texts[0], texts[1], texts[2], texts[3], texts[4],
            texts[5], texts[6], texts[7], texts[8], texts[9]};
  }
};

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
  InfoFields info;
  ASSERT_EQ(gateway_device_info(&gateway, info.fields()), 0);
  EXPECT_STREQ(info.texts[0], "http://p/?a=1&b=2");
  EXPECT_STREQ(info.texts[1], "B");  // the embedded device's, last in document order
  EXPECT_STREQ(info.texts[2], "http://m/");
  EXPECT_STREQ(info.texts[3], "AT&T Labs");
  EXPECT_STREQ(info.texts[4], "Home gateway");
  EXPECT_STREQ(info.texts[5], "M");
  EXPECT_STREQ(info.texts[6], "");  // no UPC with text; "upc" is another name
  EXPECT_STREQ(info.texts[7], "1");
  EXPECT_STREQ(info.texts[8], "http://u/");
  EXPECT_EQ(std::string(info.texts[9]), "S" + std::string(48, '0'));

  // Cut to the field where a character ends: 24 e-acutes (48 bytes), not 24 and a half.
  std::string accented;
  for (int i = 0; i < 30; ++i) accented += "\xc3\xa9";
  gateway.device_description = "<root><manufacturer>" + accented + "</manufacturer></root>";
  InfoFields cut;
  ASSERT_EQ(gateway_device_info(&gateway, cut.fields()), 0);
  EXPECT_EQ(std::string(cut.texts[3]), accented.substr(0, 48));

  gateway.device_description = "<root><friendlyName>x</friendlyName>";
  InfoFields untouched;
  EXPECT_EQ(gateway_device_info(&gateway, untouched.fields()), kGatewayUnparsable);
  EXPECT_STREQ(untouched.texts[1], "");
}

}  // namespace
