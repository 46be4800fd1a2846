#include "gateway/soap.h"

#include <gtest/gtest.h>

#include "tests/support/loopback_server.h"

namespace {

TEST(Soap, EnvelopeLines) {
  std::string envelope;
  ASSERT_EQ(soap_envelope("WANIPConnection:1", "GetExternalIPAddress", "", &envelope), 0);
  EXPECT_EQ(
      envelope,
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
      "<s:Body>\r\n"
      "<u:GetExternalIPAddress xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">\r\n"
      "</u:GetExternalIPAddress>\r\n"
      "</s:Body>\r\n"
      "</s:Envelope>\r\n");
  ASSERT_EQ(soap_envelope("WANPPPConnection:1", "X", "<A>1</A>\r\n", &envelope), 0);
  EXPECT_NE(envelope.find("<u:X xmlns:u=\"urn:schemas-upnp-org:service:WANPPPConnection:1\">\r\n"
                          "<A>1</A>\r\n</u:X>\r\n"),
            std::string::npos);
}

TEST(Soap, RequestOnTheWire) {
  LoopbackServer server({{http_ok("<r/>")}});
  GatewayHandle gateway;
  gateway.service_type = "WANIPConnection:1";
  gateway.control_url = "127.0.0.1:" + std::to_string(server.port()) + "/upnp/control";
  std::string envelope(99, 'e');  // 99 bytes: three fill blanks before the digits
  std::string body;
  int status = 0;
  ASSERT_EQ(soap_call(&gateway, "AddPortMapping", envelope, &body, &status, nullptr), 0);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, "<r/>");
  EXPECT_EQ(server.requests().at(0),
            "POST /upnp/control HTTP/1.1\r\n"
            "HOST: 127.0.0.1:" +
                std::to_string(server.port()) +
                "\r\n"
                "SOAPACTION: \"urn:schemas-upnp-org:service:WANIPConnection:1#AddPortMapping\"\r\n"
                "CONTENT-TYPE: text/xml ; charset=\"utf-8\"\r\n"
                "Content-Length:    99\r\n"
                "\r\n" +
                envelope);
}

TEST(Soap, RefusalsAndUnusableUrls) {
  const std::string fault =
      "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
      "<s:Body><s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
      "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>718</errorCode>"
      "<errorDescription>ConflictInMappingEntry</errorDescription></UPnPError></detail>"
      "</s:Fault></s:Body></s:Envelope>";
  const std::string reply =
      "HTTP/1.1 500 Internal Server Error\r\nContent-Length: " + std::to_string(fault.size()) +
      "\r\n\r\n" + fault;
  LoopbackServer server({{reply}, {reply}});
  GatewayHandle gateway;
  gateway.service_type = "WANIPConnection:1";
  gateway.control_url = "http://127.0.0.1:" + std::to_string(server.port()) + "/ctl";
  std::string body = "unset";
  int status = 0;
  EXPECT_EQ(soap_call(&gateway, "A", "e", &body, &status, nullptr), -894);
  EXPECT_EQ(status, 500);
  EXPECT_EQ(body, "unset");
  int code = 0;
  EXPECT_EQ(soap_call(&gateway, "A", "e", &body, &status, &code), -894);
  EXPECT_EQ(code, 718);
  EXPECT_EQ(body, "unset");

  EXPECT_EQ(soap_fault_code("<errorCode> 714 </errorCode>"), 714);
  EXPECT_EQ(soap_fault_code("not xml"), 0);
  EXPECT_EQ(soap_fault_code("<a><b>1</b></a>"), 0);

  gateway.control_url = "http://127.0.0.1:99999/ctl";
  status = 0;
  EXPECT_EQ(soap_call(&gateway, "A", "e", &body, &status, nullptr), -893);
  EXPECT_EQ(status, 0);
}

}  // namespace
