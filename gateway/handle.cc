#include "gateway/handle.h"

std::string gateway_service_urn(const std::string& service_type) {
  return "urn:schemas-upnp-org:service:" + service_type;
}

int gateway_free(GatewayHandle** handle) {
  if (handle != nullptr) {
    delete *handle;
    *handle = nullptr;
  }
  return kOk;
}
