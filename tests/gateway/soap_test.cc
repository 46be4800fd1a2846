#include "gateway/soap.h"

#include <gtest/gtest.h>

#include "tests/support/error_print.h"
#include "tests/support/loopback_server.h"

namespace {

TEST(Soap, EnvelopeLines) {
  EXPECT_EQ(
      soap_envelope("WANIPConnection:1", "GetExternalIPAddress", ""),
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
      "<s:Body>\r\n"
      "<u:GetExternalIPAddress xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">\r\n"
      "</u:GetExternalIPAddress>\r\n"
      "</s:Body>\r\n"
      "</s:Envelope>\r\n");
  const std::string envelope = soap_envelope("WANPPPConnection:1", "X", "<A>1</A>\r\n");
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
  SoapAnswer answer;
  ASSERT_EQ(soap_call(gateway, "AddPortMapping", envelope, false, &answer), Error::kOk);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "<r/>");
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
  // Some routers send their refusal with status 200: a refusal all the same.
  const std::string fault_200 =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(fault.size()) + "\r\n\r\n" + fault;
  LoopbackServer server({{reply}, {reply}, {fault_200}});
  GatewayHandle gateway;
  gateway.service_type = "WANIPConnection:1";
  gateway.control_url = "http://127.0.0.1:" + std::to_string(server.port()) + "/ctl";
  SoapAnswer plain;
  EXPECT_EQ(soap_call(gateway, "A", "e", false, &plain), Error::kHttpNotOk);
  EXPECT_EQ(plain.status, 500);
  EXPECT_EQ(plain.fault_code, 0);  // not read
  EXPECT_EQ(plain.body, "");
  SoapAnswer with_fault;
  EXPECT_EQ(soap_call(gateway, "A", "e", true, &with_fault), Error::kHttpNotOk);
  EXPECT_EQ(with_fault.fault_code, 718);
  EXPECT_EQ(with_fault.fault_description, "ConflictInMappingEntry");
  EXPECT_EQ(with_fault.body, "");
  SoapAnswer in_200;
  EXPECT_EQ(soap_call(gateway, "A", "e", true, &in_200), Error::kHttpNotOk);
  EXPECT_EQ(in_200.status, 200);
  EXPECT_EQ(in_200.fault_code, 718);

  EXPECT_EQ(soap_fault_code("<errorCode> 714 </errorCode>"), 714);
  EXPECT_EQ(soap_fault_code("not xml"), 0);
  EXPECT_EQ(soap_fault_code("<a><b>1</b></a>"), 0);

  gateway.control_url = "http://127.0.0.1:99999/ctl";
  SoapAnswer unsent;
  EXPECT_EQ(soap_call(gateway, "A", "e", false, &unsent), Error::kHttpBadUrl);
  EXPECT_EQ(unsent.status, 0);
}

}  // namespace
