// The JSON documents and event lines built from a router's texts, any bytes at all (the
// input's NUL-separated pieces, the description document among them): every one parses
// as JSON, is one line, and holds no control character (nor one that breaks or reorders
// the line), neither as written nor in a text it carries.
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/grammar.h"
#include "render/json.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using nlohmann::json;

/// Whether a UTF-8 text holds a C0 or C1 control character, DEL, or a character that
/// breaks or reorders the line (U+2028 to U+202E, U+2066 to U+2069, U+200E, U+200F,
/// U+061C).
bool has_control(const std::string& text) {
  auto at = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; };
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = at(i);
    if (c < 0x20 || c == 0x7f) return true;
    if (c == 0xc2 && at(i + 1) >= 0x80 && at(i + 1) < 0xa0) return true;
    if (c == 0xd8 && at(i + 1) == 0x9c) return true;
    if (c == 0xe2 && at(i + 1) == 0x80 &&
        (at(i + 2) == 0x8e || at(i + 2) == 0x8f || (at(i + 2) >= 0xa8 && at(i + 2) <= 0xae))) {
      return true;
    }
    if (c == 0xe2 && at(i + 1) == 0x81 && at(i + 2) >= 0xa6 && at(i + 2) <= 0xa9) return true;
  }
  return false;
}

void check_texts(const json& value) {
  if (value.is_string()) FUZZ_CHECK(!has_control(value.get_ref<const std::string&>()));
  if (value.is_object()) {
    for (auto item = value.begin(); item != value.end(); ++item) {
      FUZZ_CHECK(!has_control(item.key()));
      check_texts(item.value());
    }
  } else if (value.is_array()) {
    for (const json& inner : value) check_texts(inner);
  }
}

void check_document(const std::string& text) {
  FUZZ_CHECK(!text.empty() && text.back() == '\n');
  const std::string line = text.substr(0, text.size() - 1);
  FUZZ_CHECK(!has_control(line));
  const json parsed = json::parse(line, nullptr, false);
  FUZZ_CHECK(!parsed.is_discarded());
  check_texts(parsed);
}

struct Pieces {
  std::vector<std::string> all;
  size_t next = 0;
  std::string take() { return next < all.size() ? all[next++] : std::string(); }
};

MappingEntry entry_of(Pieces* in) {
  MappingEntry entry;
  entry.remote_host = in->take();
  entry.protocol = in->take();
  entry.client = in->take();
  entry.description = in->take();
  entry.external_port = 8080;
  entry.internal_port = 80;
  return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Pieces in;
  const std::string input = fuzz_text(data, size);
  for (size_t start = 0; start <= input.size() && in.all.size() < 24;) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    in.all.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  GatewayHandle gateway;
  gateway.device_description = in.take();
  gateway.control_url = in.take();
  gateway.service_type = in.take();
  RequestRecord request;
  request.protocol = in.take();
  request.description = in.take();
  request.local_address = in.take();
  request.external_address = in.take();
  const MappingEntry entry = entry_of(&in);
  const Outcome outcome{Status::kSuccess, ""};

  AddResult added;
  added.mapping.client = entry.client;
  added.mapping.description = entry.description;
  added.clash = true;
  added.clash_entry = entry;
  added.fault.description = in.take();
  added.lease_read = true;
  added.granted = entry;
  check_document(json_add_document(request, gateway, added, outcome));
  added.clash = false;  // refused, in the router's words
  added.error = Error::kGatewayMappingRefused;
  check_document(json_add_document(request, gateway, added, outcome));
  ListingResult listed;
  listed.shown.push_back({1, entry});
  check_document(json_listing_document(kList, request, gateway, listed, outcome));
  RemoveResult removed;
  removed.found = true;
  removed.entry = entry;
  removed.error = Error::kGatewayMappingRefused;
  removed.fault.description = added.fault.description;
  check_document(json_remove_document(request, gateway, removed, outcome));

  const std::string time = in.take(), event = in.take(), text = in.take(), error = in.take();
  check_document(json_event_line(time, event, text, added.mapping, 60, error, in.take(), true));
  PinholeResult pinhole;
  pinhole.code = kPinholeAdd;
  pinhole.request.client = in.take();
  pinhole.id_text = in.take();
  pinhole.status.enabled_text = in.take();
  pinhole.check.working_text = in.take();
  pinhole.check.packets_text = in.take();
  check_document(json_pinhole_document(pinhole, outcome));
  check_document(json_pinhole_event_line(time, event, text, 3, pinhole.request, error));
  return 0;
}
