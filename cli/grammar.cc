// Command-line grammar: the quick-option step and parse_command.
#include "cli/grammar.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/limits.h"
#include "base/protocol.h"
#include "base/text.h"
#include "net/socket.h"

namespace {

bool is_protocol(const char* text) {
  return protocol_number(text) != 0;
}

/// True with `*port` set when `text` is all digits (leading zeros allowed) and lies in
/// 1..65535.
bool read_port(const char* text, uint16_t* port) {
  if (!is_all_digits(text)) return false;
  unsigned long value = 0;
  for (const char* c = text; *c; ++c) {
    value = value * 10 + static_cast<unsigned long>(*c - '0');
    if (value > 65535) return false;  // stop before a long digit run can overflow
  }
  if (value < 1) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

/// True with `*id` set when `text` is all digits and lies in 1..999.
bool read_entry_id(const char* text, int32_t* id) {
  if (!is_all_digits(text)) return false;
  long value = 0;
  for (const char* c = text; *c; ++c) {
    value = value * 10 + (*c - '0');
    if (value > kEntryIdMax) return false;
  }
  if (value < 1) return false;
  *id = static_cast<int32_t>(value);
  return true;
}

/// True when `text` is an address the platform accepts that also fits `ip_address`. The
/// platform's conversion lets any text follow the address after a blank; a control
/// character or a byte beyond ASCII there would be sent to the router and echoed on the
/// screen, and belongs to no address, so it is refused.
bool read_address(const char* text, RequestRecord* request) {
  if (std::strlen(text) > kAddressTextMax) return false;
  for (const char* c = text; *c; ++c) {
    if (static_cast<unsigned char>(*c) < 0x20 || static_cast<unsigned char>(*c) > 0x7E) {
      return false;
    }
  }
  std::string dotted;
  if (!socket_address_valid(text) || !address_dotted(text, &dotted)) return false;
  request->ip_address = text;
  return true;
}

void store_protocol(const char* text, RequestRecord* request) {
  request->protocol = text;
}

/// Keeps the description as the router will get it: UTF-8 (a text that is not is taken
/// as Latin-1, the single-byte text of the platform), control characters as blanks. The
/// bound holds for what is sent.
bool read_description(const char* text, RequestRecord* request) {
  if (std::strlen(text) > kDescriptionMax) return false;
  std::string sent = text_for_sending(text);
  if (sent.size() > kDescriptionMax) return false;
  request->description.swap(sent);
  return true;
}

/// The criterion of "-list": option word, value reader and the value it adds to the code.
struct Criterion {
  const char* option;
  int value;
  bool (*read)(const char* text, RequestRecord* request);
};

bool read_criterion_protocol(const char* text, RequestRecord* request) {
  if (!is_protocol(text)) return false;
  store_protocol(text, request);
  return true;
}
bool read_criterion_internal_port(const char* text, RequestRecord* request) {
  return read_port(text, &request->internal_port);
}
bool read_criterion_external_port(const char* text, RequestRecord* request) {
  return read_port(text, &request->external_port);
}
bool read_criterion_status(const char* text, RequestRecord* request) {
  if (text_equal_ignoring_case(text, "Enabled")) {
    request->enabled = 1;
  } else if (text_equal_ignoring_case(text, "Disabled")) {
    request->enabled = 0;
  } else {
    return false;
  }
  return true;
}

// In the order the criteria must stand on the command line.
const Criterion kCriteria[] = {
    {"-p", kCriterionProtocol, read_criterion_protocol},
    {"-ip", kCriterionAddress, read_address},
    {"-iport", kCriterionInternalPort, read_criterion_internal_port},
    {"-eport", kCriterionExternalPort, read_criterion_external_port},
    {"-s", kCriterionStatus, read_criterion_status},
};

/// Sum of the criterion values of `pairs` option/value pairs from `args`, or 0 when
/// any option is unknown, repeated, out of order or has an invalid value.
int parse_criteria(char** args, int pairs, RequestRecord* request) {
  int code = 0;
  size_t next = 0;  // criteria before this one are used up or skipped
  for (int i = 0; i < pairs; ++i) {
    const char* option = args[2 * i];
    const char* value = args[2 * i + 1];
    while (next < sizeof(kCriteria) / sizeof(kCriteria[0]) &&
           !text_equal_ignoring_case(option, kCriteria[next].option)) {
      ++next;
    }
    if (next == sizeof(kCriteria) / sizeof(kCriteria[0])) return 0;
    if (!kCriteria[next].read(value, request)) return 0;
    code += kCriteria[next].value;
    ++next;
  }
  return code;
}

int parse_add(int n, char** argv, RequestRecord* request) {
  if (is_protocol(argv[2]) && text_equal_ignoring_case(argv[3], "-ip")) {
    if (n < 6) return kSyntaxError;
    if (!read_address(argv[4], request)) return kSyntaxError;
    if (!read_port(argv[5], &request->internal_port)) return kSyntaxError;
    if (!read_port(argv[6], &request->external_port)) return kSyntaxError;
    store_protocol(argv[2], request);
    if (n == 6 || argv[7][0] == '\0') return kAddClient;
    if (n > 7 || !read_description(argv[7], request)) return kSyntaxError;
    return kAddClientWithDescription;
  }
  if (!is_protocol(argv[2])) return kSyntaxError;
  if (!read_port(argv[3], &request->internal_port)) return kSyntaxError;
  if (!read_port(argv[4], &request->external_port)) return kSyntaxError;
  store_protocol(argv[2], request);
  if (n == 4 || argv[5][0] == '\0') return kAdd;
  if (n > 5 || !read_description(argv[5], request)) return kSyntaxError;
  return kAddWithDescription;
}

int parse_list(int n, char** argv, RequestRecord* request) {
  if (n == 1) return kList;
  if (n == 2) return text_equal_ignoring_case(argv[2], "-stats") ? kListStats : kSyntaxError;
  if (n == 3 && text_equal_ignoring_case(argv[2], "-id")) {
    return read_entry_id(argv[3], &request->entry_id) ? kListById : kSyntaxError;
  }
  if (n == 3 || n == 5 || n == 7 || n == 9 || n == 11) {
    return parse_criteria(argv + 2, (n - 1) / 2, request);
  }
  return kSyntaxError;
}

/// True with `*value` set when `text` is all digits (leading zeros allowed) naming a
/// number from `low` to `high`.
bool read_number(const char* text, unsigned long low, unsigned long high, unsigned long* value) {
  if (!is_all_digits(text) || *text == '\0') return false;
  unsigned long read = 0;
  for (const char* c = text; *c; ++c) {
    read = read * 10 + static_cast<unsigned long>(*c - '0');
    if (read > high) return false;  // stop before a long digit run can overflow
  }
  if (read < low) return false;
  *value = read;
  return true;
}

/// "-pinhole" "-status" | "-add" protocol port [lease] | "-remove" id | "-check" id, and
/// "-remove" protocol port, a PCP pinhole's name (the ID stays -1).
int parse_pinhole(int n, char** argv, RequestRecord* request) {
  if (n < 2) return kSyntaxError;
  const char* verb = argv[2];
  unsigned long value = 0;
  if (text_equal_ignoring_case(verb, "-status")) return n == 2 ? kPinholeStatus : kSyntaxError;
  if (text_equal_ignoring_case(verb, "-add")) {
    if ((n != 4 && n != 5) || !is_protocol(argv[3]) ||
        !read_port(argv[4], &request->pinhole_port)) {
      return kSyntaxError;
    }
    request->pinhole_lease = kPinholeLeaseDefault;
    if (n == 5) {
      if (!read_number(argv[5], kPinholeLeaseMin, kPinholeLeaseMax, &value)) return kSyntaxError;
      request->pinhole_lease = static_cast<uint32_t>(value);
    }
    store_protocol(argv[3], request);
    return kPinholeAdd;
  }
  const bool remove = text_equal_ignoring_case(verb, "-remove");
  if (remove && n == 4 && is_protocol(argv[3]) && read_port(argv[4], &request->pinhole_port)) {
    store_protocol(argv[3], request);
    return kPinholeRemove;
  }
  if (!remove && !text_equal_ignoring_case(verb, "-check")) return kSyntaxError;
  if (n != 3 || !read_number(argv[3], 0, 65535, &value)) return kSyntaxError;
  request->pinhole_id = static_cast<int32_t>(value);
  return remove ? kPinholeRemove : kPinholeCheck;
}

}  // namespace

bool address_dotted(const char* text, std::string* dotted) {
  uint32_t parts[4];
  int count = 0;
  const char* c = text;
  for (;;) {
    if (*c < '0' || *c > '9') return false;
    unsigned base = 10;
    if (*c == '0') {
      base = 8;
      ++c;
      if (*c == 'x' || *c == 'X') {
        base = 16;
        ++c;
        if (!std::isxdigit(static_cast<unsigned char>(*c))) return false;
      }
    }
    uint64_t value = 0;
    for (;; ++c) {
      const unsigned char u = static_cast<unsigned char>(*c);
      unsigned digit;
      if (u >= '0' && u <= '9') {
        digit = u - '0';
      } else if (base == 16 && std::isxdigit(u)) {
        digit = static_cast<unsigned>(std::tolower(u) - 'a' + 10);
      } else {
        break;
      }
      if (digit >= base) return false;  // 8 or 9 in an octal part
      value = value * base + digit;
      if (value > 0xFFFFFFFFu) return false;
    }
    parts[count++] = static_cast<uint32_t>(value);
    if (*c != '.') break;
    if (count == 4) return false;
    ++c;
  }
  if (*c != '\0' && !std::isspace(static_cast<unsigned char>(*c))) return false;
  // The last part fills the bytes the others leave.
  static const uint32_t kLastMax[] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
  uint32_t address = parts[count - 1];
  if (address > kLastMax[count - 1]) return false;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return false;
    address |= parts[i] << (24 - 8 * i);
  }
  char text_out[16];
  std::snprintf(text_out, sizeof(text_out), "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF);
  *dotted = text_out;
  return true;
}

std::string address_meant(const std::string& typed) {
  std::string dotted;
  return address_dotted(typed.c_str(), &dotted) ? dotted : typed;
}

std::string client_asked(const RequestRecord& request, const std::string& this_host) {
  return request.ip_address.empty() ? this_host : address_meant(request.ip_address);
}

bool is_all_digits(const char* text) {
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

bool take_quick_option(int argc, char** argv) {
  if (argc < 5 || !text_equal_ignoring_case(argv[2], "-q")) return false;
  for (int i = 2; i + 1 < argc; ++i) argv[i] = argv[i + 1];
  argv[argc - 1] = nullptr;
  return true;
}

int parse_command(int count, char** argv, RequestRecord* request) {
  const int n = count;
  if (n <= 0) return kSyntaxError;
  const char* keyword = argv[1];
  if (text_equal_ignoring_case(keyword, "-add")) {
    return n >= 4 ? parse_add(n, argv, request) : kSyntaxError;
  }
  if (text_equal_ignoring_case(keyword, "-remove")) {
    if (n != 3 || !is_protocol(argv[2])) return kSyntaxError;
    if (!read_port(argv[3], &request->external_port)) return kSyntaxError;
    store_protocol(argv[2], request);
    return kRemove;
  }
  if (text_equal_ignoring_case(keyword, "-stats")) return n == 1 ? kStats : kSyntaxError;
  if (text_equal_ignoring_case(keyword, "-help") || std::strcmp(keyword, "/?") == 0) {
    return n == 1 ? kHelp : kSyntaxError;
  }
  if (text_equal_ignoring_case(keyword, "-list")) return parse_list(n, argv, request);
  if (text_equal_ignoring_case(keyword, "-pinhole")) return parse_pinhole(n, argv, request);
  if (text_equal_ignoring_case(keyword, "-diagnose")) {
    if (request->quick) return kSyntaxError;  // -q skips a look, and the report is all looks
    if (n == 1) return kDiagnose;
    if (n != 3 || !is_protocol(argv[2]) || !read_port(argv[3], &request->external_port)) {
      return kSyntaxError;
    }
    store_protocol(argv[2], request);
    return kDiagnose;
  }
  return kSyntaxError;
}
