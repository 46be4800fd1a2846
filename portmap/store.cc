#include "portmap/store.h"

#include <algorithm>
#include <functional>
#include <sstream>

#include "base/file.h"
#include "base/protocol.h"
#include "base/random.h"
#include "portmap/store_platform.h"

namespace {

constexpr char kSecretName[] = "/secret";
constexpr char kTableName[] = "/mappings";
constexpr char kLockName[] = "/lock";

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

}  // namespace

/// SipHash-2-4: a keyed hash made for short inputs; nobody without the key can tell the
/// next nonce from the ones seen on the wire.
uint64_t store_siphash(const StoreSecret& key, const std::string& data) {
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

namespace {

bool fail(std::string* problem, const std::string& text) {
  if (problem != nullptr) *problem = text;
  return false;
}

/// The folder, made where missing and refused where another user may write it.
bool folder_ready(const std::string& folder, std::string* problem) {
  if (folder.empty()) {
    return fail(problem, "no folder for this host's state: set PORTWRANGLER_STATE_DIR");
  }
  return folder_make_private(folder, problem);
}

/// The secret of `path`: 1 when it is there, 0 when there is none, -1 when it is unusable.
int read_secret(const std::string& path, StoreSecret* secret, std::string* problem) {
  std::string text;
  const FileRead read = file_read(path, secret->size(), &text, problem);
  if (read == FileRead::kMissing) return 0;
  if (read == FileRead::kOk && text.size() == secret->size()) {
    std::copy(text.begin(), text.end(), secret->begin());
    return 1;
  }
  if (read == FileRead::kOk || read == FileRead::kTooLong) {
    fail(problem, path + ": not a secret of " + std::to_string(secret->size()) +
                      " bytes (left as it is: move it away to have a new one made)");
  }
  return -1;
}

/// Reads the table under the lock, lets `edit` change it and writes it back.
bool change_table(const std::string& folder,
                  const std::function<void(std::vector<StoredMapping>*)>& edit,
                  std::string* problem) {
  FileLock lock;
  if (!folder_ready(folder, problem) || !lock.take(folder + kLockName, problem)) return false;
  const std::string path = folder + kTableName;
  std::string text;
  const FileRead read = file_read(path, kStoreTableBytesMax, &text, problem);
  if (read != FileRead::kOk && read != FileRead::kMissing) return false;
  std::vector<std::string> unread;
  std::vector<StoredMapping> mappings = store_parse(text, &unread);
  edit(&mappings);
  return file_replace(path, store_text(mappings, unread), problem);
}

void drop_same(std::vector<StoredMapping>* table, const StoredMapping& record) {
  table->erase(std::remove_if(table->begin(), table->end(),
                              [&record](const StoredMapping& m) { return store_same(m, record); }),
               table->end());
}

bool make_secret(const std::string& folder, StoreSecret* secret, std::string* problem) {
  if (!folder_ready(folder, problem)) return false;
  const std::string path = folder + kSecretName;
  int found = read_secret(path, secret, problem);
  if (found != 0) return found > 0;
  // Made once: the runs that found none wait here, and all but the first read its.
  FileLock lock;
  if (!lock.take(folder + kLockName, problem)) return false;
  found = read_secret(path, secret, problem);
  if (found != 0) return found > 0;
  if (!random_bytes(secret->data(), secret->size())) {
    return fail(problem, "the system's random source gives nothing for " + path);
  }
  return file_replace(path, std::string(secret->begin(), secret->end()), problem);
}

}  // namespace

std::string store_folder() {
  return sys_state_folder();
}

Error store_secret(const std::string& folder, StoreSecret* secret, std::string* problem) {
  std::string why;
  if (make_secret(folder, secret, &why)) return Error::kOk;
  fail(problem, why);
  return Error::kPortmapStore;
}

PcpNonce store_nonce(const StoreSecret& secret, const std::string& internal_address,
                     uint16_t internal_port, uint8_t protocol) {
  const std::string what =
      internal_address + "/" + std::to_string(internal_port) + "/" + std::to_string(protocol);
  const uint64_t first = store_siphash(secret, "nonce-a " + what);
  const uint64_t second = store_siphash(secret, "nonce-b " + what);
  PcpNonce nonce{};
  for (size_t i = 0; i < 8; ++i) nonce[i] = static_cast<uint8_t>(first >> (8 * i));
  for (size_t i = 0; i < 4; ++i) nonce[8 + i] = static_cast<uint8_t>(second >> (8 * i));
  return nonce;
}

std::string store_text(const std::vector<StoredMapping>& mappings,
                       const std::vector<std::string>& unread) {
  std::string text;
  for (const StoredMapping& m : mappings) {
    text += m.via + " " + m.gateway + " " + protocol_name(m.protocol) + " " +
            std::to_string(m.external_port) + " " + std::to_string(m.internal_port) + " " +
            m.internal_address + "\n";
  }
  for (const std::string& line : unread) text += line + "\n";
  return text;
}

std::vector<StoredMapping> store_parse(const std::string& text, std::vector<std::string>* unread) {
  std::vector<StoredMapping> mappings;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    StoredMapping m;
    std::string protocol, more;
    unsigned external = 0, internal = 0;
    if (!(fields >> m.via >> m.gateway >> protocol >> external >> internal >> m.internal_address) ||
        (fields >> more) || (m.via != "pcp" && m.via != "natpmp") ||
        protocol_number(protocol) == 0 || external == 0 || external > 65535 || internal == 0 ||
        internal > 65535) {
      // Not taken half, and not lost: a later version's line, or a mended one, stays.
      if (unread != nullptr && line.find_first_not_of(" \t\r") != std::string::npos) {
        unread->push_back(line);
      }
      continue;
    }
    m.protocol = protocol_number(protocol);
    m.external_port = static_cast<uint16_t>(external);
    m.internal_port = static_cast<uint16_t>(internal);
    mappings.push_back(m);
  }
  return mappings;
}

bool store_same(const StoredMapping& a, const StoredMapping& b) {
  return a.via == b.via && a.gateway == b.gateway && a.protocol == b.protocol &&
         (a.external_port == b.external_port ||
          (a.internal_port == b.internal_port && a.internal_address == b.internal_address));
}

Error store_load(const std::string& folder, std::vector<StoredMapping>* mappings,
                 std::string* problem) {
  mappings->clear();
  std::string why, text;
  if (!folder_ready(folder, &why)) {
    fail(problem, why);
    return Error::kPortmapStore;
  }
  const FileRead read = file_read(folder + kTableName, kStoreTableBytesMax, &text, &why);
  if (read != FileRead::kOk && read != FileRead::kMissing) {
    fail(problem, why);
    return Error::kPortmapStore;
  }
  *mappings = store_parse(text);
  return Error::kOk;
}

Error store_put(const std::string& folder, const StoredMapping& record, std::string* problem) {
  std::string why;
  if (change_table(
          folder,
          [&record](std::vector<StoredMapping>* table) {
            drop_same(table, record);
            table->push_back(record);
          },
          &why)) {
    return Error::kOk;
  }
  fail(problem, why);
  return Error::kPortmapStore;
}

Error store_drop(const std::string& folder, const StoredMapping& record, std::string* problem) {
  std::string why;
  if (change_table(
          folder, [&record](std::vector<StoredMapping>* table) { drop_same(table, record); },
          &why)) {
    return Error::kOk;
  }
  fail(problem, why);
  return Error::kPortmapStore;
}
