#include "base/protocol.h"

#include "base/text.h"

uint8_t protocol_number(const std::string& name) {
  if (text_equal_ignoring_case(name, "TCP")) return kIpProtocolTcp;
  if (text_equal_ignoring_case(name, "UDP")) return kIpProtocolUdp;
  return 0;
}

const char* protocol_name(uint8_t number) {
  return number == kIpProtocolUdp ? "UDP" : "TCP";
}

std::string protocol_on_wire(const std::string& protocol) {
  const uint8_t number = protocol_number(protocol);
  return number != 0 ? protocol_name(number) : protocol;
}
