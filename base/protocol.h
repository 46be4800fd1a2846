// The two transport protocols a forwarding, a pinhole or a mapping names: their words and
// their IP protocol numbers, in one place for every protocol the program speaks.
#ifndef PORTWRANGLER_BASE_PROTOCOL_H_
#define PORTWRANGLER_BASE_PROTOCOL_H_

#include <cstdint>
#include <string>

constexpr uint8_t kIpProtocolTcp = 6;
constexpr uint8_t kIpProtocolUdp = 17;

/// The IP protocol number of "TCP" or "UDP" written in any case; 0 for any other text.
uint8_t protocol_number(const std::string& name);

/// The protocol's word as routers' tables and the screens write it: "UDP" for 17, "TCP"
/// for any other number.
const char* protocol_name(uint8_t number);

/// The word in capitals where it is one of the two ("udp" -> "UDP"), else as it is: UPnP
/// allows exactly these two, and some routers compare them as sent.
std::string protocol_on_wire(const std::string& protocol);

#endif  // PORTWRANGLER_BASE_PROTOCOL_H_
