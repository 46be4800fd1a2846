#include "portmap/store.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "portmap/store_platform.h"

namespace {

constexpr char kSecretName[] = "/secret";
constexpr char kTableName[] = "/mappings";

uint64_t rotate(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

void sip_round(uint64_t v[4]) {
  v[0] += v[1];
  v[1] = rotate(v[1], 13) ^ v[0];
  v[0] = rotate(v[0], 32);
  v[2] += v[3];
  v[3] = rotate(v[3], 16) ^ v[2];
  v[0] += v[3];
  v[3] = rotate(v[3], 21) ^ v[0];
  v[2] += v[1];
  v[1] = rotate(v[1], 17) ^ v[2];
  v[2] = rotate(v[2], 32);
}

uint64_t little64(const uint8_t* p) {
  uint64_t x = 0;
  for (int i = 7; i >= 0; --i) x = (x << 8) | p[i];
  return x;
}

/// SipHash-2-4: a keyed hash made for short inputs; nobody without the key can tell the
/// next nonce from the ones seen on the wire.
uint64_t siphash(const StoreSecret& key, const std::string& data) {
  const uint64_t k0 = little64(key.data()), k1 = little64(key.data() + 8);
  uint64_t v[4] = {k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL,
                   k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
  const size_t whole = data.size() / 8 * 8;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t at = 0; at < whole; at += 8) {
    const uint64_t m = little64(bytes + at);
    v[3] ^= m;
    sip_round(v);
    sip_round(v);
    v[0] ^= m;
  }
  uint64_t last = static_cast<uint64_t>(data.size()) << 56;
  for (size_t at = whole; at < data.size(); ++at) {
    last |= static_cast<uint64_t>(bytes[at]) << (8 * (at - whole));
  }
  v[3] ^= last;
  sip_round(v);
  sip_round(v);
  v[0] ^= last;
  v[2] ^= 0xff;
  for (int i = 0; i < 4; ++i) sip_round(v);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

bool read_file(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream out;
  out << file.rdbuf();
  *text = out.str();
  return true;
}

/// Writes `data` as `path`, through a new file renamed over it.
bool write_whole(const std::string& path, const std::string& data) {
  const std::string fresh = path + ".new";
  return sys_write_private(fresh, data) && sys_replace(fresh, path);
}

}  // namespace

std::string store_folder() {
  const char* chosen = std::getenv("PORTWRANGLER_STATE_DIR");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  return sys_state_folder();
}

Error store_secret(const std::string& folder, StoreSecret* secret) {
  if (folder.empty()) return Error::kPortmapStore;
  const std::string path = folder + kSecretName;
  std::string text;
  if (read_file(path, &text) && text.size() == secret->size()) {
    std::copy(text.begin(), text.end(), secret->begin());
    return Error::kOk;
  }
  std::random_device random;
  for (size_t i = 0; i < secret->size(); i += 4) {
    const uint32_t word = random();
    for (size_t j = 0; j < 4; ++j) (*secret)[i + j] = static_cast<uint8_t>(word >> (8 * j));
  }
  if (!sys_make_folder(folder) || !write_whole(path, std::string(secret->begin(), secret->end()))) {
    return Error::kPortmapStore;
  }
  return Error::kOk;
}

PcpNonce store_nonce(const StoreSecret& secret, const std::string& internal_address,
                     uint16_t internal_port, uint8_t protocol) {
  const std::string what =
      internal_address + "/" + std::to_string(internal_port) + "/" + std::to_string(protocol);
  const uint64_t first = siphash(secret, "nonce-a " + what);
  const uint64_t second = siphash(secret, "nonce-b " + what);
  PcpNonce nonce{};
  for (size_t i = 0; i < 8; ++i) nonce[i] = static_cast<uint8_t>(first >> (8 * i));
  for (size_t i = 0; i < 4; ++i) nonce[8 + i] = static_cast<uint8_t>(second >> (8 * i));
  return nonce;
}

std::string store_text(const std::vector<StoredMapping>& mappings) {
  std::string text;
  for (const StoredMapping& m : mappings) {
    text += m.via + " " + m.gateway + " " + (m.protocol == kIpProtocolUdp ? "UDP" : "TCP") + " " +
            std::to_string(m.external_port) + " " + std::to_string(m.internal_port) + " " +
            m.internal_address + "\n";
  }
  return text;
}

std::vector<StoredMapping> store_parse(const std::string& text) {
  std::vector<StoredMapping> mappings;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    StoredMapping m;
    std::string protocol;
    unsigned external = 0, internal = 0;
    if (!(fields >> m.via >> m.gateway >> protocol >> external >> internal >> m.internal_address) ||
        (m.via != "pcp" && m.via != "natpmp") || (protocol != "TCP" && protocol != "UDP") ||
        external == 0 || external > 65535 || internal == 0 || internal > 65535) {
      continue;  // a line of another shape is passed over, not taken half
    }
    m.protocol = protocol == "UDP" ? kIpProtocolUdp : kIpProtocolTcp;
    m.external_port = static_cast<uint16_t>(external);
    m.internal_port = static_cast<uint16_t>(internal);
    mappings.push_back(m);
  }
  return mappings;
}

Error store_load(const std::string& folder, std::vector<StoredMapping>* mappings) {
  mappings->clear();
  if (folder.empty()) return Error::kPortmapStore;
  std::string text;
  if (read_file(folder + kTableName, &text)) *mappings = store_parse(text);
  return Error::kOk;
}

Error store_save(const std::string& folder, const std::vector<StoredMapping>& mappings) {
  if (folder.empty() || !sys_make_folder(folder) ||
      !write_whole(folder + kTableName, store_text(mappings))) {
    return Error::kPortmapStore;
  }
  return Error::kOk;
}
