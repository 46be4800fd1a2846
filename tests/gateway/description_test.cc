#include "gateway/description.h"

#include <gtest/gtest.h>

#include "tests/support/error_print.h"

namespace {

std::string service(const std::string& type, const std::string& control) {
  return "<service><serviceType>" + type + "</serviceType><controlURL>" + control +
         "</controlURL></service>";
}

std::string document(const std::string& inner) {
  return "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\">" + inner +
         "</root>";
}

const char kWanIp[] = "urn:schemas-upnp-org:service:WANIPConnection:1";

struct ParseCase {
  const char* name;
  std::string location;
  std::string description;
  Error result;
  std::string control_url;
};

TEST(Description, ControlUrl) {
  const ParseCase cases[] = {
      {"no port, no base", "http://192.168.1.1/desc.xml",
       document(service(kWanIp, "/upnp/control/WANIPConn1")), Error::kOk,
       "192.168.1.1:80/upnp/control/WANIPConn1"},
      {"base with slash, path with slash: one slash", "http://192.168.1.1:80/d.xml",
       document("<baseURL>http://192.168.1.1:5000/</baseURL>" + service(kWanIp, "/ctl")),
       Error::kOk, "http://192.168.1.1:5000/ctl"},
      {"no slash on either side: one slash", "http://192.168.1.1/d.xml",
       document(service(kWanIp, "ctl")), Error::kOk, "192.168.1.1:80/ctl"},
      {"absolute control URL wins over base", "http://192.168.1.1/d.xml",
       document("<baseURL>http://other:1/</baseURL>" + service(kWanIp, "http://10.0.0.1:5000/ctl")),
       Error::kOk, "http://10.0.0.1:5000/ctl"},
      {"base after the services still counts", "http://h/d.xml",
       document(service(kWanIp, "/c") + "<baseURL>http://b:2/</baseURL>"), Error::kOk,
       "http://b:2/c"},
      {"base names are case-sensitive", "http://h:49152/d.xml",
       document("<BaseURL>http://x/</BaseURL><urlbase>http://y/</urlbase>" + service(kWanIp, "/c")),
       Error::kOk, "h:49152/c"},
      // What routers write: a URLBase whose port differs from the LOCATION's.
      {"URLBase", "http://192.168.1.1:1900/igd.xml",
       document("<URLBase>http://192.168.1.1:49152</URLBase>" + service(kWanIp, "/ctl")),
       Error::kOk, "http://192.168.1.1:49152/ctl"},
      {"a later version matches", "http://h/d.xml",
       document(service("urn:schemas-upnp-org:service:WANIPConnection:2", "/v2")), Error::kOk,
       "h:80/v2"},
      {"bare ampersands are text", "http://h/d.xml",
       document("<friendlyName>AT&T</friendlyName>" + service(kWanIp, "/ctl?a=1&b=2")), Error::kOk,
       "h:80/ctl?a=1&b=2"},
      {"a leading part of the URN matches", "http://h/d.xml",
       document(service("urn:schemas-upnp-org:service:WANIP", "/short")), Error::kOk, "h:80/short"},
      {"the last matching service wins", "http://h/d.xml",
       document(service(kWanIp, "/a") + service(kWanIp, "/b")), Error::kOk, "h:80/b"},
      {"other services are passed over", "http://h/d.xml",
       document(service("urn:schemas-upnp-org:service:Layer3Forwarding:1", "/l3f") +
                service(kWanIp, "/wan") +
                service("urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1", "/cic")),
       Error::kOk, "h:80/wan"},
      {"a match without controlURL takes the next one", "http://h/d.xml",
       document("<service><serviceType>" + std::string(kWanIp) + "</serviceType></service>" +
                service("urn:schemas-upnp-org:service:Other:1", "/next")),
       Error::kOk, "h:80/next"},
      {"text split by an entity reference stays whole", "http://h/d.xml",
       document(service(kWanIp, "/ctl?a=1&amp;b=2")), Error::kOk, "h:80/ctl?a=1&b=2"},
      {"values on lines of their own", "http://h/d.xml",
       document("<service><serviceType>\n  " + std::string(kWanIp) +
                "\n</serviceType><controlURL>\n  /ctl\n</controlURL></service>"),
       Error::kOk, "h:80/ctl"},
      {"an empty serviceType matches nothing", "http://h/d.xml", document(service("", "/empty")),
       Error::kGatewayNoControlUrl, ""},
      {"no control URL for the service", "http://h/d.xml", document("<device/>"),
       Error::kGatewayNoControlUrl, ""},
      {"syntax error after the control URL", "http://h/d.xml",
       document(service(kWanIp, "/ctl")) + "<unclosed>", Error::kGatewayDescriptionUnparsable, ""},
      {"not XML at all", "http://h/d.xml", "HTTP/1.1 200 OK", Error::kGatewayDescriptionUnparsable,
       ""},
      {"location without slash", "http://h", document(service(kWanIp, "/ctl")), Error::kHttpBadUrl,
       ""},
      // A device on the LAN cannot aim the client at this host or at no host.
      {"absolute control URL on loopback", "http://10.58.0.5/d.xml",
       document(service(kWanIp, "http://127.0.0.1:5555/ctl")), Error::kHttpRefusedHost, ""},
      {"URLBase on loopback in another form", "http://10.58.0.5/d.xml",
       document("<URLBase>http://0x7f.1:5555/</URLBase>" + service(kWanIp, "/ctl")),
       Error::kHttpRefusedHost, ""},
      {"URLBase unspecified", "http://10.58.0.5/d.xml",
       document("<URLBase>http://0.0.0.0:5555/</URLBase>" + service(kWanIp, "/ctl")),
       Error::kHttpRefusedHost, ""},
      {"control URL on a multicast address", "http://[2001:db8::5]/d.xml",
       document(service(kWanIp, "http://[ff02::1]:5555/ctl")), Error::kHttpRefusedHost, ""},
      {"control URL on the broadcast address", "http://10.58.0.5/d.xml",
       document(service(kWanIp, "http://255.255.255.255:5555/ctl")), Error::kHttpRefusedHost, ""},
      {"loopback named by a description served on loopback", "http://127.0.0.1:5000/d.xml",
       document(service(kWanIp, "http://localhost:5000/ctl")), Error::kOk,
       "http://localhost:5000/ctl"},
      {"another host of the LAN", "http://10.58.0.5/d.xml",
       document(service(kWanIp, "http://10.58.0.6:5555/ctl")), Error::kOk,
       "http://10.58.0.6:5555/ctl"},
      // A link-local host, in any letter case, takes the zone the description came over.
      {"link-local URLBase gets the zone", "http://[fe80::1%25eth0]:5000/d.xml",
       document("<URLBase>http://[FE80::1]:5000</URLBase>" + service(kWanIp, "/ctl")), Error::kOk,
       "http://[FE80::1%25eth0]:5000/ctl"},
      {"link-local control URL gets the zone", "http://[fe80::1%25eth0]:5000/d.xml",
       document(service(kWanIp, "http://[Fe80::2]:6000/ctl")), Error::kOk,
       "http://[Fe80::2%25eth0]:6000/ctl"},
      {"a global host gets no zone", "http://[fe80::1%25eth0]:5000/d.xml",
       document(service(kWanIp, "http://[2001:db8::2]:6000/ctl")), Error::kOk,
       "http://[2001:db8::2]:6000/ctl"},
  };
  for (const ParseCase& c : cases) {
    GatewayHandle gateway;
    gateway.service_type = "WANIPConnection:1";
    EXPECT_EQ(gateway_parse_description(&gateway, c.location, c.description), c.result) << c.name;
    EXPECT_EQ(gateway.control_url, c.control_url) << c.name;
    EXPECT_TRUE(gateway.device_description.empty()) << c.name;
  }
}

TEST(Description, ServiceTypeMatch) {
  const std::string ip = kWanIp;
  const std::string ppp = "urn:schemas-upnp-org:service:WANPPPConnection:1";
  const std::string urn = "urn:schemas-upnp-org:service:";
  const struct {
    std::string text;
    bool ip, ppp;
  } cases[] = {
      {ip, true, false},
      {ppp, false, true},
      {urn + "WANIPConnection:2", true, false},
      {urn + "WANPPPConnection:3", false, true},
      {urn + "WANIPConnection:10", true, false},
      {urn + "WANIPConnection:99999999999999999999", true, false},
      {urn + "WANIPConnection:0", false, false},
      {urn + "WANIPConnection:", true, false},  // a leading part
      {urn + "WANIP", true, false},
      {urn + "WAN", true, true},
      {"", false, false},
      {"WANIPConnection", false, false},
      {"WANIPConnection:2", false, false},
      {urn + "WANIPConnectionX:2", false, false},
      {urn + "WANIPConnection:2x", false, false},
      {urn + "WANIPConnection:+2", false, false},
      {urn + "WANIPConnection:2:1", false, false},
      {urn + "wanipconnection:2", false, false},
      {"URN:schemas-upnp-org:service:WANIPConnection:2", false, false},
      {urn + "WANIPv6FirewallControl:1", false, false},
      {"urn:schemas-upnp-org:device:WANIPConnection:2", false, false},
      {ip + " ", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(service_type_matches(c.text, ip), c.ip) << c.text;
    EXPECT_EQ(service_type_matches(c.text, ppp), c.ppp) << c.text;
  }
  EXPECT_FALSE(service_type_matches(urn + "WANIPConnection:1", urn + "WANIPConnection:2"));
}

TEST(Description, ControlUrlLengthLimit) {
  GatewayHandle gateway;
  gateway.service_type = "WANPPPConnection:1";
  const std::string ppp = "urn:schemas-upnp-org:service:WANPPPConnection:1";
  // "h:80/" is 5 characters: a path of 506 makes 511.
  EXPECT_EQ(gateway_parse_description(&gateway, "http://h/d",
                                      document(service(ppp, "/" + std::string(506, 'p')))),
            Error::kOk);
  EXPECT_EQ(gateway.control_url.size(), 511u);
  GatewayHandle longer;
  longer.service_type = "WANPPPConnection:1";
  EXPECT_EQ(gateway_parse_description(&longer, "http://h/d",
                                      document(service(ppp, "/" + std::string(507, 'p')))),
            Error::kGatewayTooLong);
  EXPECT_TRUE(longer.control_url.empty());
}

TEST(Description, JoinUsesExactlyOneSlash) {
  EXPECT_EQ(join_control_url("http://h:5000/", "/ctl"), "http://h:5000/ctl");
  EXPECT_EQ(join_control_url("http://h:5000", "ctl"), "http://h:5000/ctl");
  EXPECT_EQ(join_control_url("h:80//", "//ctl"), "h:80/ctl");
  EXPECT_EQ(join_control_url("http://h/dev/", "ctl"), "http://h/dev/ctl");
}

}  // namespace
