#include "gateway/handle.h"

#include <cstring>

#include "base/text.h"

std::string gateway_service_urn(const std::string& service_type) {
  return "urn:schemas-upnp-org:service:" + service_type;
}

int gateway_free(GatewayHandle** handle) {
  if (handle != nullptr) {
    delete *handle;
    *handle = nullptr;
  }
  return kGatewayOk;
}

void copy_to_field(char* field, size_t capacity, const std::string& text) {
  if (capacity == 0) return;
  // Cut where a character ends: half a UTF-8 sequence would print as a stray byte.
  size_t length = text_fit_bytes(text, capacity - 1);
  std::memset(field, 0, capacity);
  std::memcpy(field, text.data(), length);
}
