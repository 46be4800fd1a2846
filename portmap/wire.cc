#include "portmap/wire.h"

#include <algorithm>

namespace {

void put16(Bytes* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value >> 8));
  out->push_back(static_cast<uint8_t>(value));
}

void put32(Bytes* out, uint32_t value) {
  put16(out, value >> 16);
  put16(out, value & 0xffff);
}

void put_bytes(Bytes* out, const uint8_t* data, size_t length) {
  out->insert(out->end(), data, data + length);
}

uint16_t get16(const uint8_t* data) {
  return static_cast<uint16_t>((data[0] << 8) | data[1]);
}

uint32_t get32(const uint8_t* data) {
  return (static_cast<uint32_t>(get16(data)) << 16) | get16(data + 2);
}

constexpr size_t kNatpmpFailureLength = 8;
constexpr size_t kNatpmpAddressLength = 12;
constexpr size_t kNatpmpMapLength = 16;
constexpr size_t kPcpHeaderLength = 24;
constexpr size_t kPcpMapLength = 36;
constexpr size_t kPcpOptionHeader = 4;

}  // namespace

const char* wire_check_text(WireCheck check) {
  switch (check) {
    case WireCheck::kOk:
      return "fits";
    case WireCheck::kNatpmpOnly:
      return "a NAT-PMP server's answer (version 0, result 1)";
    case WireCheck::kBadLength:
      return "wrong length";
    case WireCheck::kBadVersion:
      return "wrong version";
    case WireCheck::kNotAnswer:
      return "a request, not an answer";
    case WireCheck::kBadOpcode:
      return "wrong opcode";
    case WireCheck::kBadNonce:
      return "another nonce";
    case WireCheck::kBadProtocol:
      return "another protocol";
    case WireCheck::kBadPort:
      return "another internal port";
    case WireCheck::kFailed:
      return "a failure result";
    case WireCheck::kBadOption:
      return "an option overruns the datagram";
    case WireCheck::kNoPayload:
      return "an error answer without the MAP payload";
  }
  return "unknown";
}

bool wire_address_is_v4(const WireAddress& address) {
  static const uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::equal(kPrefix, kPrefix + 12, address.begin());
}

WireAddress wire_address_v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  WireAddress address{};
  address[10] = address[11] = 0xff;
  address[12] = a;
  address[13] = b;
  address[14] = c;
  address[15] = d;
  return address;
}

Bytes natpmp_encode_external_address() {
  return Bytes{0, kNatpmpOpExternalAddress};
}

Bytes natpmp_encode_map(const NatpmpMapRequest& request) {
  Bytes out{0, request.protocol == kIpProtocolUdp ? kNatpmpOpMapUdp : kNatpmpOpMapTcp, 0, 0};
  put16(&out, request.internal_port);
  put16(&out, request.external_port);
  put32(&out, request.lifetime);
  return out;
}

WireCheck natpmp_decode(const uint8_t* data, size_t length, uint8_t request_opcode,
                        const NatpmpMapRequest* map, NatpmpAnswer* answer) {
  if (length < kNatpmpFailureLength) return WireCheck::kBadLength;
  if (data[0] != 0) return WireCheck::kBadVersion;
  if ((data[1] & 0x80) == 0) return WireCheck::kNotAnswer;
  if (data[1] != request_opcode + 128) return WireCheck::kBadOpcode;
  answer->opcode = data[1];
  answer->result = get16(data + 2);
  answer->epoch = get32(data + 4);
  const bool address = request_opcode == kNatpmpOpExternalAddress;
  const size_t full = address ? kNatpmpAddressLength : kNatpmpMapLength;
  // A refusal may stop after the epoch; a success must be whole, and nothing runs on.
  if (length != full && !(answer->result != 0 && length == kNatpmpFailureLength)) {
    return WireCheck::kBadLength;
  }
  if (length == kNatpmpFailureLength) return WireCheck::kOk;
  if (address) {
    answer->external_address = wire_address_v4(data[8], data[9], data[10], data[11]);
    return WireCheck::kOk;
  }
  answer->internal_port = get16(data + 8);
  answer->external_port = get16(data + 10);
  answer->lifetime = get32(data + 12);
  // A delete of every mapping names internal port 0; any other answer names ours.
  if (map != nullptr && answer->internal_port != map->internal_port) return WireCheck::kBadPort;
  return WireCheck::kOk;
}

const char* natpmp_result_name(int result) {
  static const char* const kNames[] = {"SUCCESS",          "UNSUPPORTED_VERSION",
                                       "NOT_AUTHORIZED",   "NETWORK_FAILURE",
                                       "OUT_OF_RESOURCES", "UNSUPPORTED_OPCODE"};
  return result >= 0 && result <= 5 ? kNames[result] : "UNKNOWN";
}

namespace {

void put_common_request(Bytes* out, uint8_t opcode, uint32_t lifetime, const WireAddress& client) {
  out->push_back(kPcpVersion);
  out->push_back(opcode);
  put16(out, 0);
  put32(out, lifetime);
  put_bytes(out, client.data(), client.size());
}

}  // namespace

Bytes pcp_encode_map(const PcpMapRequest& request) {
  Bytes out;
  put_common_request(&out, kPcpOpMap, request.lifetime, request.client);
  put_bytes(&out, request.nonce.data(), request.nonce.size());
  out.push_back(request.protocol);
  out.insert(out.end(), 3, 0);
  put16(&out, request.internal_port);
  put16(&out, request.external_port);
  put_bytes(&out, request.external_address.data(), request.external_address.size());
  if (request.third_party) {
    out.push_back(kPcpOptionThirdParty);
    out.push_back(0);
    put16(&out, 16);
    put_bytes(&out, request.internal_address.data(), request.internal_address.size());
  }
  if (request.prefer_failure) {
    out.push_back(kPcpOptionPreferFailure);
    out.push_back(0);
    put16(&out, 0);
  }
  return out;
}

Bytes pcp_encode_announce(const WireAddress& client) {
  Bytes out;
  put_common_request(&out, kPcpOpAnnounce, 0, client);
  return out;
}

WireCheck pcp_decode(const uint8_t* data, size_t length, PcpAnswer* answer) {
  // A NAT-PMP server refuses version 2 with its own short answer: version 0, result 1
  // (and opcode 128, though some servers echo the request's opcode + 128).
  if (length >= 4 && data[0] == 0 && (data[1] & 0x80) != 0 && get16(data + 2) == 1) {
    return WireCheck::kNatpmpOnly;
  }
  if (length < kPcpHeaderLength || length > kPcpMessageMax || length % 4 != 0) {
    return WireCheck::kBadLength;
  }
  if (data[0] != kPcpVersion) return WireCheck::kBadVersion;
  if ((data[1] & 0x80) == 0) return WireCheck::kNotAnswer;
  answer->opcode = data[1] & 0x7f;
  answer->result = data[3];
  answer->lifetime = get32(data + 4);
  answer->epoch = get32(data + 8);
  answer->has_map = false;
  size_t at = kPcpHeaderLength;
  if (answer->opcode == kPcpOpMap && length >= kPcpHeaderLength + kPcpMapLength) {
    const uint8_t* map = data + at;
    std::copy(map, map + 12, answer->nonce.begin());
    answer->protocol = map[12];
    answer->internal_port = get16(map + 16);
    answer->external_port = get16(map + 18);
    std::copy(map + 20, map + 36, answer->external_address.begin());
    answer->has_map = true;
    at += kPcpMapLength;
  } else if (answer->opcode == kPcpOpMap && answer->result == kPcpSuccess) {
    return WireCheck::kBadLength;  // a success must say what it made
  }
  if (answer->opcode != kPcpOpMap) return WireCheck::kOk;
  // Options follow: each a code, a reserved byte, a length, and its data padded to a word.
  while (at < length) {
    if (length - at < kPcpOptionHeader) return WireCheck::kBadOption;
    const size_t data_length = (static_cast<size_t>(get16(data + at + 2)) + 3) / 4 * 4;
    if (length - at - kPcpOptionHeader < data_length) return WireCheck::kBadOption;
    at += kPcpOptionHeader + data_length;
  }
  return WireCheck::kOk;
}

WireCheck pcp_answers_map(const PcpMapRequest& request, const PcpAnswer& answer) {
  if (answer.opcode != kPcpOpMap) return WireCheck::kBadOpcode;
  // A server copies the request into its error answer; one without it may answer another
  // host's request, or another of ours.
  if (!answer.has_map) return WireCheck::kNoPayload;
  if (answer.nonce != request.nonce) return WireCheck::kBadNonce;
  if (answer.protocol != request.protocol) return WireCheck::kBadProtocol;
  if (answer.internal_port != request.internal_port) return WireCheck::kBadPort;
  return WireCheck::kOk;
}

const char* pcp_result_name(int result) {
  static const char* const kNames[] = {
      "SUCCESS",          "UNSUPP_VERSION",        "NOT_AUTHORIZED",   "MALFORMED_REQUEST",
      "UNSUPP_OPCODE",    "UNSUPP_OPTION",         "MALFORMED_OPTION", "NETWORK_FAILURE",
      "NO_RESOURCES",     "UNSUPP_PROTOCOL",       "USER_EX_QUOTA",    "CANNOT_PROVIDE_EXTERNAL",
      "ADDRESS_MISMATCH", "EXCESSIVE_REMOTE_PEERS"};
  return result >= 0 && result <= 13 ? kNames[result] : "UNKNOWN";
}

const char* portmap_protocol_title(int version) {
  return version == kPcpVersion ? "PCP" : "NAT-PMP";
}

const char* portmap_result_name(int version, int result) {
  return version == kPcpVersion ? pcp_result_name(result) : natpmp_result_name(result);
}

bool pcp_epoch_lost(uint32_t previous_epoch, uint32_t epoch, uint64_t client_delta) {
  if (epoch + 1ULL < previous_epoch) return true;  // back by more than a second
  const uint64_t server_delta = epoch >= previous_epoch ? epoch - previous_epoch : 0;
  // Either clock may run a sixteenth fast, and two seconds go to rounding and transit.
  return client_delta + 2 < server_delta - server_delta / 16 ||
         server_delta + 2 < client_delta - client_delta / 16;
}

bool natpmp_epoch_lost(uint32_t previous_epoch, uint32_t epoch, uint64_t client_delta) {
  // The conservative estimate lets the client's clock run an eighth fast.
  return epoch + 2ULL < previous_epoch + client_delta * 7 / 8;
}

WireCheck wire_decode_announcement(const uint8_t* data, size_t length, WireAnnouncement* out) {
  if (length == 0) return WireCheck::kBadLength;
  if (data[0] == kPcpVersion) {
    PcpAnswer answer;
    const WireCheck check = pcp_decode(data, length, &answer);
    if (check != WireCheck::kOk) return check;
    if (answer.opcode != kPcpOpAnnounce) return WireCheck::kBadOpcode;
    if (answer.result != kPcpSuccess) return WireCheck::kFailed;
    *out = {true, answer.epoch};
    return WireCheck::kOk;
  }
  NatpmpAnswer answer;
  const WireCheck check = natpmp_decode(data, length, kNatpmpOpExternalAddress, nullptr, &answer);
  if (check != WireCheck::kOk) return check;
  if (answer.result != 0) return WireCheck::kFailed;
  *out = {false, answer.epoch};
  return WireCheck::kOk;
}
