// What this host keeps of its NAT-PMP and PCP mappings between runs: a secret (made once,
// from the system's random source, readable by its owner alone) from which each
// mapping's PCP nonce is derived, and a small table of the mappings it made, so that a
// later "-remove PROTO EXTERNAL" finds the internal port and client they were made for.
// Both live in one folder: $PORTWRANGLER_STATE_DIR when set, else /var/lib/portwrangler
// for root, $XDG_STATE_HOME/portwrangler (~/.local/state/portwrangler) for another user,
// and %LOCALAPPDATA%\portwrangler on Windows. A folder another user may write is refused
// (its secret and records could be theirs). The table is changed under a lock in the
// folder, so that runs at once each keep their record; it is 1 MiB at most (a longer one
// is an error, never read in part), and a line it cannot read is kept as it is.
#ifndef PORTWRANGLER_PORTMAP_STORE_H_
#define PORTWRANGLER_PORTMAP_STORE_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/limits.h"
#include "portmap/wire.h"

using StoreSecret = std::array<uint8_t, 16>;

/// The folder the state lives in; empty when the system names none.
std::string store_folder();

/// kOk with the host's secret, made and written first when there is none (once: runs at
/// once all get the one made first); kPortmapStore with the reason in `*problem` when
/// there is no folder, it is refused, or the secret can be neither read nor made. A
/// secret of another size is an error, never replaced.
Error store_secret(const std::string& folder, StoreSecret* secret, std::string* problem = nullptr);

/// The nonce of the mapping of `internal_address` port `internal_port`, `protocol`:
/// the same on every run of this host, unguessable without the secret.
PcpNonce store_nonce(const StoreSecret& secret, const std::string& internal_address,
                     uint16_t internal_port, uint8_t protocol);

/// SipHash-2-4 of `data` under `key`, which the nonces are made of.
uint64_t store_siphash(const StoreSecret& key, const std::string& data);

/// One mapping this host made.
struct StoredMapping {
  std::string via;  // "pcp" or "natpmp"
  std::string gateway;
  uint8_t protocol = kIpProtocolTcp;
  uint16_t external_port = 0;
  uint16_t internal_port = 0;
  std::string internal_address;
};

/// Whether `a` and `b` are records of one mapping: the same way through the same gateway,
/// the same protocol, and the same external port or the same client and internal port.
bool store_same(const StoredMapping& a, const StoredMapping& b);

/// The table as the folder holds it (empty when there is none yet); kPortmapStore with
/// the reason when it cannot be read.
Error store_load(const std::string& folder, std::vector<StoredMapping>* mappings,
                 std::string* problem = nullptr);

/// Puts `record` in the table in place of any record of the same mapping; kOk once it is
/// on disk.
Error store_put(const std::string& folder, const StoredMapping& record,
                std::string* problem = nullptr);

/// Takes every record of the mapping of `record` out of the table.
Error store_drop(const std::string& folder, const StoredMapping& record,
                 std::string* problem = nullptr);

/// The table's lines as text, and read back: one mapping a line, fields by spaces. The
/// lines of another shape are `unread`, written back as they were.
std::string store_text(const std::vector<StoredMapping>& mappings,
                       const std::vector<std::string>& unread = {});
std::vector<StoredMapping> store_parse(const std::string& text,
                                       std::vector<std::string>* unread = nullptr);

#endif  // PORTWRANGLER_PORTMAP_STORE_H_
