#include "gateway/xml_capture.h"

#include <cstring>

#include "gateway/xml.h"

namespace {

struct CaptureParse {
  XmlWatch* watches;
  size_t count;
};

XmlWatch* find_watch(CaptureParse* parse, const char* name) {
  for (size_t i = 0; i < parse->count; ++i) {
    if (std::strcmp(parse->watches[i].name, name) == 0) return &parse->watches[i];
  }
  return nullptr;
}

void on_capture_start(void* state, const char* name) {
  CaptureParse* parse = static_cast<CaptureParse*>(state);
  for (size_t i = 0; i < parse->count; ++i) {
    if (parse->watches[i].inside) parse->watches[i].pending_nested = true;
  }
  XmlWatch* watch = find_watch(parse, name);
  if (watch == nullptr) return;
  watch->inside = true;
  watch->pending.clear();
  watch->pending_nested = false;
}

void on_capture_end(void* state, const char* name) {
  XmlWatch* watch = find_watch(static_cast<CaptureParse*>(state), name);
  if (watch == nullptr || !watch->inside) return;
  watch->inside = false;
  ++watch->occurrences;
  watch->last = watch->pending;
  watch->nested = watch->pending_nested;
  if (!watch->pending.empty()) {
    watch->delivered = true;
    watch->last_delivered = watch->pending;
  }
}

void on_capture_text(void* state, const char* text, size_t length) {
  CaptureParse* parse = static_cast<CaptureParse*>(state);
  for (size_t i = 0; i < parse->count; ++i) {
    if (parse->watches[i].inside) {
      parse->watches[i].pending.append(text, length);
      return;
    }
  }
}

}  // namespace

Error xml_capture(const std::string& document, XmlWatch* watches, size_t count) {
  static const XmlHandlers kHandlers = {on_capture_start, on_capture_end, on_capture_text};
  CaptureParse parse{watches, count};
  return xml_parse(document, kHandlers, &parse);
}
