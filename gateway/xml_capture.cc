#include "gateway/xml_capture.h"

#include <expat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

struct CaptureParse {
  XmlWatch* watches;
  size_t count;
};

XmlWatch* find_watch(CaptureParse* parse, const XML_Char* name) {
  for (size_t i = 0; i < parse->count; ++i) {
    if (std::strcmp(parse->watches[i].name, name) == 0) return &parse->watches[i];
  }
  return nullptr;
}

void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char**) {
  XmlWatch* watch = find_watch(static_cast<CaptureParse*>(data), name);
  if (watch == nullptr) return;
  watch->inside = true;
  watch->pending.clear();
}

void XMLCALL on_end(void* data, const XML_Char* name) {
  XmlWatch* watch = find_watch(static_cast<CaptureParse*>(data), name);
  if (watch == nullptr || !watch->inside) return;
  watch->inside = false;
  ++watch->occurrences;
  watch->last = watch->pending;
  if (!watch->pending.empty()) {
    watch->delivered = true;
    watch->last_delivered = watch->pending;
  }
}

void XMLCALL on_text(void* data, const XML_Char* text, int length) {
  CaptureParse* parse = static_cast<CaptureParse*>(data);
  for (size_t i = 0; i < parse->count; ++i) {
    if (parse->watches[i].inside) {
      parse->watches[i].pending.append(text, static_cast<size_t>(length));
      return;
    }
  }
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

int xml_capture(const std::string& document, XmlWatch* watches, size_t count) {
  if (document.size() > static_cast<size_t>(INT_MAX)) return -1;
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser == nullptr) return -2;
  CaptureParse parse{watches, count};
  XML_SetUserData(parser, &parse);
  XML_SetElementHandler(parser, on_start, on_end);
  XML_SetCharacterDataHandler(parser, on_text);
  XML_Status status =
      XML_Parse(parser, document.data(), static_cast<int>(document.size()), XML_TRUE);
  XML_ParserFree(parser);
  return status == XML_STATUS_OK ? 0 : -1;
}

std::string xml_trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && is_space(text[begin])) ++begin;
  while (end > begin && is_space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

long xml_number(const std::string& text) {
  return std::strtol(text.c_str(), nullptr, 10);  // saturates at LONG_MIN / LONG_MAX
}

std::string xml_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}
