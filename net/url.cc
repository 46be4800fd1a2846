// URLs: the parser, the writer, and the kinds of address a host names.
#include "net/url.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "base/guard.h"
#include "base/limits.h"
#include "base/text.h"

namespace {

using Bytes16 = std::array<uint8_t, 16>;

int hex_value(char c) {
  if (text_is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/// One part of an IPv4 address as the resolver reads it: decimal, octal after a leading
/// 0, hexadecimal after 0x; false when it is no number or above `max`.
bool ipv4_part(const std::string& text, uint64_t max, uint64_t* value) {
  size_t at = 0;
  int base = 10;
  if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  } else if (text.size() > 1 && text[0] == '0') {
    base = 8;
    at = 1;
  }
  if (at >= text.size() && base != 16) return false;
  uint64_t number = 0;
  for (; at < text.size(); ++at) {
    const int digit = hex_value(text[at]);
    if (digit < 0 || digit >= base) return false;
    number = number * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (number > max) return false;
  }
  *value = number;
  return true;
}

/// An IPv4 address in any form inet_aton reads ("10.0.0.1", "127.1", "0x7f000001").
bool parse_ipv4(const std::string& text, uint32_t* address) {
  if (text.empty() || text.size() > 64) return false;
  std::string parts[4];
  size_t count = 0, from = 0;
  for (;;) {
    const size_t dot = text.find('.', from);
    if (count == 4) return false;
    parts[count++] = text.substr(from, dot == std::string::npos ? dot : dot - from);
    if (dot == std::string::npos) break;
    from = dot + 1;
  }
  uint32_t result = 0;
  for (size_t i = 0; i + 1 < count; ++i) {
    uint64_t value = 0;
    if (!ipv4_part(parts[i], 255, &value)) return false;
    result |= static_cast<uint32_t>(value) << (24 - 8 * i);
  }
  // The last part fills the bytes that are left.
  uint64_t last = 0;
  const uint64_t last_max = count == 1 ? 0xFFFFFFFFu : (uint64_t{1} << (8 * (5 - count))) - 1;
  if (!ipv4_part(parts[count - 1], last_max, &last)) return false;
  *address = result | static_cast<uint32_t>(last);
  return true;
}

/// Strict dotted-decimal IPv4, as it may end an IPv6 address.
bool parse_dotted_quad(const std::string& text, uint8_t* bytes) {
  size_t from = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t end = i < 3 ? text.find('.', from) : text.size();
    if (end == std::string::npos || end == from || end - from > 3) return false;
    int value = 0;
    for (size_t at = from; at < end; ++at) {
      if (!text_is_digit(text[at])) return false;
      value = value * 10 + (text[at] - '0');
    }
    if (value > 255) return false;
    bytes[i] = static_cast<uint8_t>(value);
    from = end + 1;
  }
  return true;
}

/// An IPv6 address as RFC 4291 writes it, "::" and a trailing dotted IPv4 part included.
bool parse_ipv6(const std::string& text, Bytes16* bytes) {
  if (text.size() < 2 || text.size() > 45) return false;
  uint8_t out[16] = {};
  int filled = 0, gap = -1;
  size_t at = 0;
  if (text.compare(0, 2, "::") == 0) {
    gap = 0;
    at = 2;
  }
  while (at < text.size()) {
    const size_t colon = text.find(':', at);
    const std::string group = text.substr(at, colon == std::string::npos ? colon : colon - at);
    if (colon == std::string::npos && group.find('.') != std::string::npos) {
      if (filled > 12 || !parse_dotted_quad(group, out + filled)) return false;
      filled += 4;
      at = text.size();
      break;
    }
    if (group.empty() || group.size() > 4 || filled > 14) return false;
    int value = 0;
    for (char c : group) {
      const int digit = hex_value(c);
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    out[filled++] = static_cast<uint8_t>(value >> 8);
    out[filled++] = static_cast<uint8_t>(value & 0xFF);
    if (colon == std::string::npos) {
      at = text.size();
      break;
    }
    at = colon + 1;
    if (at < text.size() && text[at] == ':') {
      if (gap >= 0) return false;
      gap = filled;
      ++at;
    } else if (at == text.size()) {
      return false;  // a single ':' at the end
    }
  }
  if (gap < 0 && filled != 16) return false;
  if (gap >= 0 && filled > 14) return false;
  bytes->fill(0);
  const int tail = gap < 0 ? 0 : filled - gap;
  const int head = gap < 0 ? filled : gap;
  std::memcpy(bytes->data(), out, static_cast<size_t>(head));
  std::memcpy(bytes->data() + 16 - tail, out + head, static_cast<size_t>(tail));
  return true;
}

const char* ipv4_refusal(uint32_t address) {
  if ((address >> 24) == 127) return "a loopback address";
  if ((address >> 24) == 0) return "an unspecified address";
  if ((address >> 28) == 0xE) return "a multicast address";
  if (address == 0xFFFFFFFFu) return "a broadcast address";
  return nullptr;
}

/// The IPv4 address an IPv6 one maps (::ffff:a.b.c.d), if it is one.
bool mapped_ipv4(const Bytes16& bytes, uint32_t* address) {
  for (int i = 0; i < 10; ++i) {
    if (bytes[i] != 0) return false;
  }
  if (bytes[10] != 0xFF || bytes[11] != 0xFF) return false;
  *address = static_cast<uint32_t>(bytes[12]) << 24 | static_cast<uint32_t>(bytes[13]) << 16 |
             static_cast<uint32_t>(bytes[14]) << 8 | bytes[15];
  return true;
}

bool is_localhost(const std::string& host) {
  std::string name = text_upper_ascii(host);
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name == "LOCALHOST" ||
         (name.size() > 10 && name.compare(name.size() - 10, 10, ".LOCALHOST") == 0);
}

/// The zone after the address in brackets: "%25zone", or "%zone" as some devices write it.
bool bracket_zone(const std::string& inside, std::string* address, std::string* zone) {
  const size_t mark = inside.find('%');
  *address = inside.substr(0, mark);
  zone->clear();
  if (mark == std::string::npos) return true;
  const size_t from = inside.compare(mark, 3, "%25") == 0 ? mark + 3 : mark + 1;
  *zone = inside.substr(from);
  return !zone->empty() && zone->find('%') == std::string::npos;
}

/// The parse itself: null with `*url` set, or what is wrong.
const char* parse(const std::string& text, Url* url) {
  size_t begin = 0;
  while (begin < text.size() && is_space(text[begin])) ++begin;
  if (text.compare(begin, 7, "http://") == 0) begin += 7;
  size_t end = begin;
  while (end < text.size() && !is_space(text[end]) && text[end] != '\0' && end - begin < kUrlMax) {
    ++end;
  }
  const std::string token = text.substr(begin, end - begin);
  const size_t slash = token.find('/');
  if (token.empty()) return "it is empty";
  if (slash == std::string::npos) return "it has no '/' after the host";
  Url parsed;
  size_t port_at = std::string::npos;  // where the port's digits begin
  if (token[0] == '[') {
    const size_t close = token.find(']');
    if (close == std::string::npos || close > slash) return "its '[' is not closed";
    std::string address;
    Bytes16 bytes;
    if (!bracket_zone(token.substr(1, close - 1), &address, &parsed.zone) ||
        !parse_ipv6(address, &bytes)) {
      return "its brackets hold no IPv6 address alone";
    }
    parsed.host = address;
    if (close + 1 != slash) {
      if (token[close + 1] != ':') return "a ':' and the port go after the ']'";
      port_at = close + 2;
    }
  } else {
    const size_t colon = token.find(':');
    const size_t host_end = colon < slash ? colon : slash;
    parsed.host = token.substr(0, host_end);
    if (colon < slash) port_at = colon + 1;
  }
  if (port_at != std::string::npos && port_at < slash) {
    int value = 0;
    for (size_t at = port_at; at < slash; ++at) {
      if (!text_is_digit(token[at])) return "its port is not a number";
      if (at - port_at < 5) value = value * 10 + (token[at] - '0');
    }
    if (slash - port_at > 5 || value < 1 || value > 65535) {
      return "its port is not from 1 to 65535";
    }
    parsed.port = value;
  }
  parsed.path = token.substr(slash + 1);
  *url = std::move(parsed);
  return nullptr;
}

}  // namespace

Error url_parse(const std::string& text, Url* url) {
  return guard_allocation(
      [&] { return parse(text, url) == nullptr ? Error::kOk : Error::kHttpBadUrl; });
}

const char* url_fault(const std::string& text) {
  Url url;
  const char* fault = nullptr;
  return guard_allocation([&] {
           fault = parse(text, &url);
           return Error::kOk;
         }) == Error::kOk
             ? fault
             : "it cannot be read (out of memory)";
}

std::string url_authority(const Url& url) {
  if (url.host.find(':') == std::string::npos) return url.host + ":" + std::to_string(url.port);
  const std::string zone = url.zone.empty() ? "" : "%25" + url.zone;
  return "[" + url.host + zone + "]:" + std::to_string(url.port);
}

std::string url_text(const Url& url) {
  return "http://" + url_authority(url) + "/" + url.path;
}

std::string url_connect_host(const Url& url) {
  return url.zone.empty() ? url.host : url.host + "%" + url.zone;
}

bool url_host_link_local(const Url& url) {
  Bytes16 bytes;
  return parse_ipv6(url.host, &bytes) && bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80;
}

bool url_host_loopback(const Url& url) {
  const char* refusal = url_host_refusal(url);
  return refusal != nullptr && std::strcmp(refusal, "a loopback address") == 0;
}

const char* url_host_refusal(const Url& url) {
  if (is_localhost(url.host)) return "a loopback address";
  uint32_t v4 = 0;
  if (parse_ipv4(url.host, &v4)) return ipv4_refusal(v4);
  Bytes16 bytes;
  if (!parse_ipv6(url.host, &bytes)) return nullptr;
  if (mapped_ipv4(bytes, &v4)) return ipv4_refusal(v4);
  if (bytes[0] == 0xFF) return "a multicast address";
  bool zero_head = true;
  for (int i = 0; i < 15; ++i) zero_head = zero_head && bytes[i] == 0;
  if (zero_head && bytes[15] == 0) return "an unspecified address";
  if (zero_head && bytes[15] == 1) return "a loopback address";
  return nullptr;
}

Error url_split(const std::string& url, std::string* host, std::string* path, int* port) {
  Url parsed;
  const Error error = url_parse(url, &parsed);
  if (error != Error::kOk) return error;
  return guard_allocation([&] {
    if (host != nullptr) *host = url_connect_host(parsed);
    if (path != nullptr) path->swap(parsed.path);
    *port = parsed.port;
    return Error::kOk;
  });
}

std::string http_host_port(const std::string& host, int port) {
  if (host.find(':') == std::string::npos) return host + ":" + std::to_string(port);
  Url url;
  const size_t mark = host.find('%');
  url.host = host.substr(0, mark);
  if (mark != std::string::npos) url.zone = host.substr(mark + 1);
  url.port = port;
  return url_authority(url);
}
