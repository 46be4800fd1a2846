#include "gateway/reach.h"

#include <cstdint>

namespace {

/// The address of a strict dotted-decimal text (four numbers 0 to 255, no other
/// character); false for anything else.
bool dotted_quad(const std::string& text, uint32_t* address) {
  uint32_t value = 0;
  int parts = 0;
  size_t at = 0;
  while (parts < 4) {
    size_t digits = 0;
    uint32_t part = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
      part = part * 10 + static_cast<uint32_t>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || part > 255) return false;
    value = value << 8 | part;
    if (++parts < 4 && (at >= text.size() || text[at++] != '.')) return false;
  }
  *address = value;
  return at == text.size();
}

bool in(uint32_t address, uint32_t network, int bits) {
  return (address >> (32 - bits)) == (network >> (32 - bits));
}

}  // namespace

Reach reach_of(const std::string& external_address) {
  if (external_address.empty()) return Reach::kEmpty;
  uint32_t address = 0;
  if (!dotted_quad(external_address, &address)) return Reach::kUnknown;
  if (in(address, 0x0A000000, 8) || in(address, 0xAC100000, 12) || in(address, 0xC0A80000, 16)) {
    return Reach::kPrivate;
  }
  if (in(address, 0x64400000, 10)) return Reach::kShared;
  if (in(address, 0x7F000000, 8)) return Reach::kLoopback;
  if (in(address, 0xA9FE0000, 16)) return Reach::kLinkLocal;
  if (in(address, 0x00000000, 8)) return Reach::kUnspecified;
  return Reach::kPublic;
}

bool reach_blocked(Reach reach) {
  return reach != Reach::kPublic && reach != Reach::kUnknown;
}

const char* reach_reason(Reach reach) {
  switch (reach) {
    case Reach::kPrivate:
      return "its external address is private (RFC 1918): another router stands in front of it";
    case Reach::kShared:
      return "its external address is shared (RFC 6598): the provider's carrier-grade NAT "
             "stands in front of it";
    case Reach::kLoopback:
      return "its external address is a loopback address: it has no address on the internet";
    case Reach::kLinkLocal:
      return "its external address is link-local: it got no address on its WAN link";
    case Reach::kUnspecified:
      return "its external address is unspecified (0.0.0.0): it is not connected";
    case Reach::kEmpty:
      return "it gives no external address: it has no public one (carrier-grade NAT, or "
             "another router in front of it) or is not connected";
    default:
      return "";
  }
}

std::string reach_note(Reach reach) {
  if (!reach_blocked(reach)) return "";
  return std::string("portwrangler: entries on this router cannot be reached from the internet: ") +
         reach_reason(reach) + "\n";
}
