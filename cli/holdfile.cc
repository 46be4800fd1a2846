#include "cli/holdfile.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/format.h"
#include "base/limits.h"
#include "base/text.h"
#include "cli/grammar.h"
#include "cli/options.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

/// The value of a line's long option: "--name=value" or "--name value".
bool option_value(const std::vector<std::string>& words, size_t* at, const std::string& name,
                  std::string* value, std::string* problem) {
  const std::string& word = words[*at];
  const size_t equals = word.find('=');
  if (equals != std::string::npos) {
    *value = word.substr(equals + 1);
  } else if (*at + 1 < words.size()) {
    *value = words[++*at];
  } else {
    *problem = "--" + name + " needs a value";
    return false;
  }
  ++*at;
  return true;
}

/// What a line's flags ask for: --any-port and --same-port.
struct LineFlags {
  bool any_port = false;
  bool same_port = false;
};

/// Takes the line's long options off the front of `words`: --lease, --protocol and the
/// flags.
bool take_line_options(const std::vector<std::string>& words, size_t* at, long* lease,
                       LineFlags* flags, HoldLine* line, std::string* problem) {
  while (*at < words.size() && words[*at].compare(0, 2, "--") == 0) {
    const std::string& word = words[*at];
    const std::string name = word.substr(2, word.find('=') - 2);
    std::string value;
    if (name == "any-port" || name == "same-port") {
      if (word.find('=') != std::string::npos) {
        *problem = "--" + name + " takes no value";
        return false;
      }
      (name == "any-port" ? flags->any_port : flags->same_port) = true;
      ++*at;
      continue;
    }
    if (name != "lease" && name != "protocol") {
      *problem = "unknown option --" + name +
                 " (a line takes --lease, --protocol, --any-port and --same-port)";
      return false;
    }
    if (!option_value(words, at, name, &value, problem)) return false;
    if (name == "lease") {
      const bool digits = !value.empty() && value.size() <= 9 && is_all_digits(value.c_str());
      *lease = digits ? std::strtol(value.c_str(), nullptr, 10) : 0;
      if (*lease < kKeepLeaseMinSeconds || *lease > kLeaseMaxSeconds) {
        *problem = format_string("--lease takes seconds from %d to %d, not \"",
                                 kKeepLeaseMinSeconds, kLeaseMaxSeconds) +
                   value + "\"";
        return false;
      }
    } else if (value == "upnp" || value == "pcp" || value == "natpmp") {
      line->via = value;
    } else {
      *problem = "--protocol takes upnp, pcp or natpmp, not \"" + value + "\"";
      return false;
    }
  }
  return true;
}

/// The flags of an add's line: --any-port where the gateway's choice can be held
/// (NAT-PMP, PCP), --same-port as the command line takes it.
bool line_flags_fit(const LineFlags& flags, HoldLine* line, std::string* problem) {
  const MapVia via = line->via == "pcp"      ? MapVia::kPcp
                     : line->via == "natpmp" ? MapVia::kNatpmp
                                             : MapVia::kUpnp;
  if (flags.same_port && !same_port_fits(via, flags.any_port, line->request.internal_port,
                                         line->request.external_port, problem)) {
    return false;
  }
  if (flags.any_port && via == MapVia::kUpnp) {
    *problem = "--any-port in a held set goes with --protocol pcp or natpmp";
    return false;
  }
  line->request.any_port = flags.any_port;
  line->request.same_port = flags.same_port;
  return true;
}

/// One line's words as an entry: the command grammar's add or pinhole add.
bool line_entry(const std::vector<std::string>& words, HoldLine* line, std::string* problem) {
  size_t at = 0;
  long lease = -1;
  LineFlags flags;
  if (!take_line_options(words, &at, &lease, &flags, line, problem)) return false;
  std::vector<std::string> command(words.begin() + static_cast<long>(at), words.end());
  std::vector<char*> argv{const_cast<char*>("portwrangler")};
  for (std::string& word : command) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const int argc = static_cast<int>(argv.size()) - 1;
  if (take_quick_option(argc, argv.data())) {
    *problem = "-q skips the check of the table that every held add makes";
    return false;
  }
  line->code = parse_command(argc - 1, argv.data(), &line->request);
  RequestRecord& request = line->request;
  if (line->code == kPinholeAdd && line->via == "natpmp") {
    *problem = "a pinhole is held through UPnP or PCP: NAT-PMP maps IPv4 alone";
    return false;
  }
  if (line->code == kPinholeAdd) {
    if (flags.any_port || flags.same_port) {
      *problem = "--any-port and --same-port go with -add; a pinhole opens the port it names";
      return false;
    }
    if (lease != -1) {
      *problem = "--lease goes with -add; a pinhole's lease is its LEASE";
      return false;
    }
    if (request.pinhole_lease < static_cast<unsigned long>(kKeepLeaseMinSeconds)) {
      *problem = format_string("a held lease is at least %d seconds", kKeepLeaseMinSeconds);
      return false;
    }
    return true;
  }
  if (line->code != kAdd && line->code != kAddWithDescription && line->code != kAddClient &&
      line->code != kAddClientWithDescription) {
    *problem = line->code == kSyntaxError
                   ? "not a forwarding or a pinhole: -add PROTO [-ip ADDR] IPORT EPORT [DESC] "
                     "or -pinhole -add PROTO PORT [LEASE]"
                   : "only -add and -pinhole -add are held";
    return false;
  }
  if (line->via != "upnp" && lease != -1 && lease > kPortmapLeaseMaxSeconds) {
    // The least is a held lease's, checked above.
    *problem = format_string("--lease takes seconds from %d to %d with --protocol %s",
                             kKeepLeaseMinSeconds, kPortmapLeaseMaxSeconds, line->via.c_str());
    return false;
  }
  if (!line_flags_fit(flags, line, problem)) return false;
  if (line->via == "natpmp" && !request.ip_address.empty()) {
    *problem = "NAT-PMP maps for this host alone: no -ip";
    return false;
  }
  request.lease_seconds = static_cast<uint32_t>(lease != -1 ? lease : kKeepLeaseSeconds);
  return true;
}

/// What no two lines may hold alike: the protocol and the (external) port.
std::string identity_of(const HoldLine& line) {
  std::string protocol = line.request.protocol;
  for (char& c : protocol) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (line.code == kPinholeAdd) {
    return format_string("pinhole %s %u", protocol.c_str(), line.request.pinhole_port);
  }
  return format_string("%s %u", protocol.c_str(), line.request.external_port);
}

}  // namespace

bool hold_split_words(const std::string& line, std::vector<std::string>* words,
                      std::string* problem) {
  words->clear();
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && is_blank(line[at])) ++at;
    if (at >= line.size() || line[at] == '#') break;
    std::string word;
    while (at < line.size() && !is_blank(line[at])) {
      const char c = line[at++];
      if (c == '\\') {
        if (at < line.size()) word += line[at++];
      } else if (c == '\'') {
        const size_t end = line.find('\'', at);
        if (end == std::string::npos) {
          *problem = "a quote (') is not closed";
          return false;
        }
        word += line.substr(at, end - at);
        at = end + 1;
      } else if (c == '"') {
        for (;;) {
          if (at >= line.size()) {
            *problem = "a quote (\") is not closed";
            return false;
          }
          const char inner = line[at++];
          if (inner == '"') break;
          if (inner == '\\' && at < line.size() && std::strchr("\"\\$`", line[at]) != nullptr) {
            word += line[at++];
          } else {
            word += inner;
          }
        }
      } else {
        word += c;
      }
    }
    words->push_back(word);
  }
  return true;
}

bool hold_parse(const std::string& text, const std::string& file, std::vector<HoldLine>* lines,
                std::string* problem) {
  lines->clear();
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string raw = text.substr(start, end - start);
    start = end + 1;
    ++number;
    std::vector<std::string> words;
    std::string wrong;
    HoldLine line;
    line.number = number;
    if (raw.find('\0') != std::string::npos) {
      wrong = "a NUL byte";
    } else if (hold_split_words(raw, &words, &wrong) && !words.empty()) {
      if (lines->size() >= static_cast<size_t>(kHoldLinesMax)) {
        wrong = format_string("more than %d entries", kHoldLinesMax);
      } else if (line_entry(words, &line, &wrong)) {
        for (const HoldLine& earlier : *lines) {
          if (identity_of(earlier) == identity_of(line)) {
            wrong = format_string("%s is held by line %d already", identity_of(line).c_str(),
                                  earlier.number);
          }
        }
      }
      for (const std::string& word : words) line.key += word + '\n';
    } else if (wrong.empty()) {
      continue;  // blank, or a comment
    }
    if (!wrong.empty()) {
      *problem = format_string("%s:%d: %s", file.c_str(), number, wrong.c_str());
      return false;
    }
    lines->push_back(std::move(line));
  }
  return true;
}
