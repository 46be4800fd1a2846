// How the NAT-PMP/PCP targets read their input: bytes taken one by one (0 past the end),
// and datagrams from the gateway for the scripted socket.
#ifndef PORTWRANGLER_TESTS_FUZZ_FUZZ_DATAGRAMS_H_
#define PORTWRANGLER_TESTS_FUZZ_FUZZ_DATAGRAMS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "portmap/wire.h"
#include "tests/support/scripted_socket.h"

constexpr const char* kFuzzGateway = "192.168.1.1";
constexpr const char* kFuzzSource = "192.168.1.10";

struct FuzzInput {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t byte() { return at < size ? data[at++] : 0; }
  uint16_t u16() {
    const uint8_t high = byte();
    return static_cast<uint16_t>(high << 8 | byte());
  }
};

/// The rest of the input as datagrams, at most 64: each a 16-bit wait in ms after the
/// one before, a byte for where it comes from (the gateway's port 5351 or 5350, another
/// host, this host), a length byte and that many bytes.
inline std::vector<ScriptedDatagram> fuzz_datagrams(FuzzInput* in) {
  static const char* const kSources[] = {kFuzzGateway, kFuzzGateway, "192.168.1.2", kFuzzSource};
  static const int kPorts[] = {kPortmapServerPort, kPortmapClientPort, kPortmapServerPort,
                               kPortmapServerPort};
  std::vector<ScriptedDatagram> out;
  long long at = 0;
  while (in->at < in->size && out.size() < 64) {
    ScriptedDatagram datagram;
    at += in->u16();
    datagram.at_ms = at;
    const uint8_t from = in->byte() & 3;
    datagram.source = kSources[from];
    datagram.port = kPorts[from];
    const size_t length = std::min<size_t>(in->byte(), in->size - std::min(in->at, in->size));
    datagram.bytes.assign(reinterpret_cast<const char*>(in->data + in->at), length);
    in->at += length;
    out.push_back(datagram);
  }
  return out;
}

#endif  // PORTWRANGLER_TESTS_FUZZ_FUZZ_DATAGRAMS_H_
