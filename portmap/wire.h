// The datagrams of NAT-PMP (RFC 6886) and PCP (RFC 6887): encoded from plain structs and
// checked field by field on the way in. No sockets here: natpmp.cc and pcp.cc send and
// receive, this file says what the bytes mean and whether an answer fits its request.
#ifndef PORTWRANGLER_PORTMAP_WIRE_H_
#define PORTWRANGLER_PORTMAP_WIRE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/protocol.h"

using Bytes = std::vector<uint8_t>;
/// An address as PCP carries it: IPv6, or IPv4 mapped (::ffff:a.b.c.d).
using WireAddress = std::array<uint8_t, 16>;
using PcpNonce = std::array<uint8_t, 12>;

constexpr int kPortmapServerPort = 5351;                    // where both protocols' servers listen
constexpr int kPortmapClientPort = 5350;                    // where their announcements go
constexpr const char* kPortmapAnnounceGroup = "224.0.0.1";  // to every host of the link
constexpr const char* kPortmapAnnounceGroup6 = "ff02::1";   // the same over IPv6

/// What a datagram that came in is, when it is not the answer looked for.
enum class WireCheck {
  kOk,
  kNatpmpOnly,  // a NAT-PMP server's answer to a PCP request: version 0, result 1
  kBadLength,   // too short, too long, or not a whole number of 32-bit words (PCP)
  kBadVersion,
  kNotAnswer,  // a request, not an answer
  kBadOpcode,  // not the request's opcode + 128
  kBadNonce,   // another mapping's nonce
  kBadProtocol,
  kBadPort,    // another internal port
  kBadOption,  // an option that does not fit the datagram
  kNoPayload,  // an error answer without the MAP payload: whose it is cannot be told
  kFailed,     // an announcement with a failure result
};

/// The check's name for a trace line ("nonce differs").
const char* wire_check_text(WireCheck check);

/// Whether the address is an IPv4 one mapped into IPv6 (::ffff:a.b.c.d).
bool wire_address_is_v4(const WireAddress& address);
/// The IPv4 address `a.b.c.d` mapped.
WireAddress wire_address_v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

// NAT-PMP -------------------------------------------------------------------------------

constexpr uint8_t kNatpmpOpExternalAddress = 0;
constexpr uint8_t kNatpmpOpMapUdp = 1;
constexpr uint8_t kNatpmpOpMapTcp = 2;

struct NatpmpMapRequest {
  uint8_t protocol = kIpProtocolTcp;  // kIpProtocolTcp or kIpProtocolUdp
  uint16_t internal_port = 0;
  uint16_t external_port = 0;  // suggested; 0 with lifetime 0 to delete
  uint32_t lifetime = 0;       // 0 deletes
};

struct NatpmpAnswer {
  uint8_t opcode = 0;  // the request's opcode + 128
  uint16_t result = 0;
  uint32_t epoch = 0;              // seconds since the server's start of epoch
  WireAddress external_address{};  // external-address answers
  uint16_t internal_port = 0;      // map answers
  uint16_t external_port = 0;
  uint32_t lifetime = 0;
};

Bytes natpmp_encode_external_address();
Bytes natpmp_encode_map(const NatpmpMapRequest& request);

/// kOk when `data` is a NAT-PMP answer to a request of `request_opcode` (and, for a map,
/// to `map`'s internal port); the answer's fields go to `*answer`. A failure answer is
/// shorter (8 bytes) and taken too: its result tells.
WireCheck natpmp_decode(const uint8_t* data, size_t length, uint8_t request_opcode,
                        const NatpmpMapRequest* map, NatpmpAnswer* answer);

/// The name of a NAT-PMP result code ("NOT_AUTHORIZED"), "UNKNOWN" past 5.
const char* natpmp_result_name(int result);

// PCP ------------------------------------------------------------------------------------

constexpr uint8_t kPcpVersion = 2;
constexpr uint8_t kPcpOpAnnounce = 0;
constexpr uint8_t kPcpOpMap = 1;
constexpr uint8_t kPcpOptionThirdParty = 1;
constexpr uint8_t kPcpOptionPreferFailure = 2;
constexpr size_t kPcpMessageMax = 1100;

// The result codes the client acts on.
constexpr int kPcpSuccess = 0;
constexpr int kPcpUnsuppVersion = 1;
constexpr int kPcpNotAuthorized = 2;
constexpr int kPcpNoResources = 8;
constexpr int kPcpUserExQuota = 10;
constexpr int kPcpAddressMismatch = 12;

struct PcpMapRequest {
  uint32_t lifetime = 0;  // 0 deletes
  WireAddress client{};   // the source address of the request
  PcpNonce nonce{};
  uint8_t protocol = kIpProtocolTcp;
  uint16_t internal_port = 0;
  uint16_t external_port = 0;      // suggested
  WireAddress external_address{};  // suggested; all zero for none
  bool third_party = false;        // for `internal_address`, another host
  WireAddress internal_address{};
  bool prefer_failure = false;
};

struct PcpAnswer {
  uint8_t opcode = 0;
  int result = 0;
  uint32_t lifetime = 0;
  uint32_t epoch = 0;
  bool has_map = false;  // the MAP payload was there (an error answer may carry none)
  PcpNonce nonce{};
  uint8_t protocol = 0;
  uint16_t internal_port = 0;
  uint16_t external_port = 0;
  WireAddress external_address{};
};

Bytes pcp_encode_map(const PcpMapRequest& request);
/// An ANNOUNCE request: what a server answers at once, costing it nothing.
Bytes pcp_encode_announce(const WireAddress& client);

/// kOk when `data` is a well-formed PCP answer (any opcode); kNatpmpOnly for a NAT-PMP
/// server's refusal of the version. The fields go to `*answer`.
WireCheck pcp_decode(const uint8_t* data, size_t length, PcpAnswer* answer);

/// kOk when a decoded answer answers `request`: opcode, nonce, protocol and internal port,
/// an error answer's too (one without them may be another mapping's).
WireCheck pcp_answers_map(const PcpMapRequest& request, const PcpAnswer& answer);

/// The name of a PCP result code ("ADDRESS_MISMATCH"), "UNKNOWN" past 13.
const char* pcp_result_name(int result);

// Both ----------------------------------------------------------------------------------

constexpr uint8_t kNatpmpVersion = 0;

/// The protocol of `version` (kPcpVersion or kNatpmpVersion) as texts name it: "PCP",
/// "NAT-PMP".
const char* portmap_protocol_title(int version);

/// The name of the result code `result` of `version`'s protocol.
const char* portmap_result_name(int version, int result);

/// Whether the server lost its mappings since the last answer, by its epoch (seconds since
/// its mappings began) and the client's own seconds between the two answers,
/// `client_delta`. PCP's test: the epoch went back by more than a second, or it moved on
/// faster or slower than the client's clock allows.
bool pcp_epoch_lost(uint32_t previous_epoch, uint32_t epoch, uint64_t client_delta);
/// NAT-PMP's test: the epoch is more than 2 s short of the previous one plus 7/8 of the
/// client's time since (a server's clock that runs fast is no loss).
bool natpmp_epoch_lost(uint32_t previous_epoch, uint32_t epoch, uint64_t client_delta);

/// What a server announced to port 5350 unasked (after a start, or a new external address).
struct WireAnnouncement {
  bool pcp = false;  // a PCP ANNOUNCE answer; else NAT-PMP's external-address answer
  uint32_t epoch = 0;
};

/// kOk when `data` is an announcement: a PCP ANNOUNCE answer or a NAT-PMP external-address
/// answer, either with result 0.
WireCheck wire_decode_announcement(const uint8_t* data, size_t length, WireAnnouncement* out);

#endif  // PORTWRANGLER_PORTMAP_WIRE_H_
