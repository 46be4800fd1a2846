// What this host keeps of its NAT-PMP and PCP mappings between runs: a secret (made on
// first use, readable by its owner alone) from which each mapping's PCP nonce is derived,
// and a small table of the mappings it made, so that a later "-remove PROTO EXTERNAL"
// finds the internal port and client they were made for. Both live in one folder:
// $PORTWRANGLER_STATE_DIR when set, else /var/lib/portwrangler for root,
// $XDG_STATE_HOME/portwrangler (~/.local/state/portwrangler) for another user, and
// %LOCALAPPDATA%\portwrangler on Windows.
#ifndef PORTWRANGLER_PORTMAP_STORE_H_
#define PORTWRANGLER_PORTMAP_STORE_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "portmap/wire.h"

using StoreSecret = std::array<uint8_t, 16>;

/// The folder the state lives in; empty when the system names none.
std::string store_folder();

/// kOk with the host's secret, made and written first when there is none;
/// kPortmapStore when it can be neither read nor written.
Error store_secret(const std::string& folder, StoreSecret* secret);

/// The nonce of the mapping of `internal_address` port `internal_port`, `protocol`:
/// the same on every run of this host, unguessable without the secret.
PcpNonce store_nonce(const StoreSecret& secret, const std::string& internal_address,
                     uint16_t internal_port, uint8_t protocol);

/// One mapping this host made.
struct StoredMapping {
  std::string via;  // "pcp" or "natpmp"
  std::string gateway;
  uint8_t protocol = kIpProtocolTcp;
  uint16_t external_port = 0;
  uint16_t internal_port = 0;
  std::string internal_address;
};

/// The table as the folder holds it (empty when there is none yet).
Error store_load(const std::string& folder, std::vector<StoredMapping>* mappings);

/// Writes the table whole: a new file renamed over the old, so a reader never sees half.
Error store_save(const std::string& folder, const std::vector<StoredMapping>& mappings);

/// The table's lines as text, and read back: one mapping a line, fields by spaces.
std::string store_text(const std::vector<StoredMapping>& mappings);
std::vector<StoredMapping> store_parse(const std::string& text);

#endif  // PORTWRANGLER_PORTMAP_STORE_H_
