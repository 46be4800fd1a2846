// The XML parse helper and the mending every answer goes through.
#include "gateway/xml.h"

#include <expat.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "base/text.h"

namespace {

/// The parse in progress: the caller's handlers and what went wrong inside one.
struct ParseRun {
  const XmlHandlers* handlers;
  void* state;
  XML_Parser parser;
  Error failure = Error::kOk;
};

/// Runs one handler; an exception stops the parse rather than unwinding through Expat.
template <typename Call>
void guarded(void* data, Call call) {
  ParseRun* run = static_cast<ParseRun*>(data);
  if (run->failure != Error::kOk) return;
  try {
    call(run);
  } catch (const std::bad_alloc&) {
    run->failure = Error::kNoMemory;
    XML_StopParser(run->parser, XML_FALSE);
  } catch (...) {
    run->failure = Error::kGatewayUnparsable;
    XML_StopParser(run->parser, XML_FALSE);
  }
}

void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char**) {
  guarded(data, [name](ParseRun* run) { run->handlers->start(run->state, name); });
}

void XMLCALL on_end(void* data, const XML_Char* name) {
  guarded(data, [name](ParseRun* run) { run->handlers->end(run->state, name); });
}

void XMLCALL on_text(void* data, const XML_Char* text, int length) {
  guarded(data, [text, length](ParseRun* run) {
    run->handlers->text(run->state, text, static_cast<size_t>(length));
  });
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool starts_with(const std::string& text, size_t at, const char* prefix) {
  return text.compare(at, std::strlen(prefix), prefix) == 0;
}

bool is_name_char(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || u >= 0x80 || c == '_' || c == ':' || c == '.' || c == '-';
}

/// Whether XML 1.0 lets a document carry the character `code`.
bool is_xml_char(uint32_t code) {
  return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
         (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

/// Whether the '&' at `at` begins a reference. A document with a document type
/// declaration may declare entities of its own, so there any "&name;" is one.
bool begins_reference(const std::string& text, size_t at, bool declares_entities) {
  static const char* const kNamed[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
  for (const char* named : kNamed) {
    if (starts_with(text, at, named)) return true;
  }
  size_t i = at + 1;
  if (declares_entities) {
    while (i < text.size() && is_name_char(text[i])) ++i;
    if (i > at + 1 && i < text.size() && text[i] == ';') return true;
    i = at + 1;
  }
  if (i >= text.size() || text[i] != '#') return false;
  bool hex = i + 1 < text.size() && text[i + 1] == 'x';
  i += hex ? 2 : 1;
  size_t digits = i;
  uint32_t value = 0;
  bool too_large = false;
  while (i < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[i]))
                                 : std::isdigit(static_cast<unsigned char>(text[i])))) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const uint32_t digit = std::isdigit(c) ? c - '0' : (std::tolower(c) - 'a' + 10);
    value = value * (hex ? 16 : 10) + digit;
    too_large = too_large || value > 0x10FFFF;
    if (too_large) value = 0x110000;  // stays past every character without wrapping
    ++i;
  }
  // A reference to a character XML cannot carry is no reference: the router handed back a
  // stored text, and it reads as the characters it is.
  return i > digits && i < text.size() && text[i] == ';' && is_xml_char(value);
}

/// Where the markup that opens at `at` ends when its content is not parsed for
/// references (comment, CDATA section, processing instruction); `at` for other markup.
size_t end_of_unparsed(const std::string& text, size_t at) {
  static const struct {
    const char* open;
    const char* close;
  } kKinds[] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};
  for (const auto& kind : kKinds) {
    if (!starts_with(text, at, kind.open)) continue;
    size_t close = text.find(kind.close, at + std::strlen(kind.open));
    return close == std::string::npos ? text.size() : close + std::strlen(kind.close);
  }
  return at;
}

/// Whether the '<' at `at` can open a tag: a name or '/' follows, and a '>' comes
/// before the next '<'. Neither a tag nor an attribute value holds a '<', so every tag
/// of a well-formed document passes; a stray '<' in a text almost never does. Only the
/// stretch up to the next '<' is read, so a whole document costs one pass.
bool opens_tag(const std::string& text, size_t at) {
  const size_t next = at + 1;
  if (next >= text.size()) return false;
  const unsigned char c = static_cast<unsigned char>(text[next]);
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (!(letter || c >= 0x80 || c == '/' || c == '_' || c == ':')) return false;
  const size_t other = text.find('<', next);
  const size_t end = other == std::string::npos ? text.size() : other;
  return std::memchr(text.data() + next, '>', end - next) != nullptr;
}

}  // namespace

Error xml_parse(const std::string& document, const XmlHandlers& handlers, void* state) {
  try {
    const std::string mended = xml_mend(document);
    if (mended.size() > static_cast<size_t>(INT_MAX)) return Error::kGatewayUnparsable;
    using ParserOwner = std::unique_ptr<std::remove_pointer_t<XML_Parser>, void (*)(XML_Parser)>;
    ParserOwner parser(XML_ParserCreate(nullptr), XML_ParserFree);
    if (parser == nullptr) return Error::kNoMemory;
    ParseRun run{&handlers, state, parser.get()};
    XML_SetUserData(parser.get(), &run);
    XML_SetElementHandler(parser.get(), on_start, on_end);
    XML_SetCharacterDataHandler(parser.get(), on_text);
    const XML_Status status =
        XML_Parse(parser.get(), mended.data(), static_cast<int>(mended.size()), XML_TRUE);
    if (run.failure != Error::kOk) return run.failure;
    if (status == XML_STATUS_OK) return Error::kOk;
    return XML_GetErrorCode(parser.get()) == XML_ERROR_NO_MEMORY ? Error::kNoMemory
                                                                 : Error::kGatewayUnparsable;
  } catch (const std::bad_alloc&) {
    return Error::kNoMemory;
  }
}

bool xml_well_formed(const std::string& document) {
  static const XmlHandlers kIgnore = {[](void*, const char*) {}, [](void*, const char*) {},
                                      [](void*, const char*, size_t) {}};
  return xml_parse(document, kIgnore, nullptr) == Error::kOk;
}

std::string xml_mend_markup(const std::string& document) {
  // A document type declaration may declare entities, and its markup declarations
  // hold '<' in quoted values: there only ampersands are mended, and more leniently.
  const bool declares_entities = document.find("<!DOCTYPE") != std::string::npos;
  std::string out;
  out.reserve(document.size());
  size_t i = 0;
  while (i < document.size()) {
    char c = document[i];
    if (c == '<') {
      size_t end = end_of_unparsed(document, i);
      if (end > i) {
        out.append(document, i, end - i);
        i = end;
        continue;
      }
      if (!declares_entities && !opens_tag(document, i)) {
        out += "&lt;";
        ++i;
        continue;
      }
    }
    out += c;
    if (c == '&' && !begins_reference(document, i, declares_entities)) out += "amp;";
    ++i;
  }
  return out;
}

std::string xml_mend_text_of(const std::string& document, const std::string& name) {
  // The start tag: the name, then '>', '/' or white space before its attributes.
  size_t at = 0;
  for (;;) {
    at = document.find("<" + name, at);
    if (at == std::string::npos) return document;
    const size_t after = at + 1 + name.size();
    if (after < document.size() &&
        (document[after] == '>' || document[after] == '/' || is_space(document[after]))) {
      break;
    }
    at = after;
  }
  const size_t tag_end = document.find('>', at);
  if (tag_end == std::string::npos || document[tag_end - 1] == '/') return document;
  const size_t content = tag_end + 1;
  const size_t end = document.rfind("</" + name);
  if (end == std::string::npos || end < content) return document;
  std::string out = document.substr(0, content);
  for (size_t i = content; i < end; ++i) {
    const char c = document[i];
    if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";  // "]]>" may not stand in a text
    } else if (c == '&' && !begins_reference(document, i, false)) {
      out += "&amp;";
    } else {
      out += c;
    }
  }
  out.append(document, end, std::string::npos);
  return out;
}

bool xml_is_utf8_document(const std::string& document) {
  // UTF-16, with its byte order mark or without (a '<' beside a NUL byte).
  if (document.size() >= 2) {
    const unsigned char first = static_cast<unsigned char>(document[0]);
    const unsigned char second = static_cast<unsigned char>(document[1]);
    if ((first == 0xFE && second == 0xFF) || (first == 0xFF && second == 0xFE)) return false;
    if (first == 0 || second == 0) return false;
  }
  const size_t start = starts_with(document, 0, "\xEF\xBB\xBF") ? 3 : 0;
  if (!starts_with(document, start, "<?xml")) return true;
  const size_t end = document.find("?>", start);
  const std::string declaration =
      document.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t at = declaration.find("encoding");
  if (at == std::string::npos) return true;
  at += 8;
  while (at < declaration.size() && (is_space(declaration[at]) || declaration[at] == '=')) ++at;
  if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\'')) {
    return false;  // not a declaration Expat takes; leave it to refuse
  }
  const size_t close = declaration.find(declaration[at], at + 1);
  if (close == std::string::npos) return false;
  std::string name = declaration.substr(at + 1, close - at - 1);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name == "UTF-8";
}

std::string xml_mend(const std::string& document) {
  if (!xml_is_utf8_document(document)) return document;
  return xml_mend_markup(text_mend_xml_chars(document));
}

std::string xml_trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && is_space(text[begin])) ++begin;
  while (end > begin && is_space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string xml_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text_for_sending(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}
