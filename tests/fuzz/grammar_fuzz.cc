// Random argument vectors (NUL-separated in the input) through the long options, the
// quick-option step and parse_command: the code is one the driver knows and every field
// stays in bounds.
#include <vector>

#include "base/limits.h"
#include "base/text.h"
#include "cli/grammar.h"
#include "cli/options.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const int kCriteria[] = {kCriterionProtocol, kCriterionAddress, kCriterionInternalPort,
                         kCriterionExternalPort, kCriterionStatus};

/// The criteria whose values sum to `code` (a bit each, in list order), or -1 when
/// `code` is no such sum.
int criteria_of(int code) {
  for (int set = 1; set < 32; ++set) {
    int sum = 0;
    for (int i = 0; i < 5; ++i) {
      if (set & (1 << i)) sum += kCriteria[i];
    }
    if (sum == code) return set;
  }
  return -1;
}

bool known_code(int code) {
  switch (code) {
    case kSyntaxError:
    case kAddWithDescription:
    case kAdd:
    case kAddClientWithDescription:
    case kAddClient:
    case kRemove:
    case kList:
    case kListStats:
    case kStats:
    case kListById:
    case kHelp:
      return true;
    default:
      return criteria_of(code) > 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input = fuzz_text(data, size);
  std::vector<std::string> words{"portwrangler"};
  size_t start = 0;
  while (start <= input.size() && words.size() < 12) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    words.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());

  RunOptions options;
  std::string problem;
  const bool good = take_long_options(&argc, argv.data(), &options, &problem);
  FUZZ_CHECK(good == problem.empty());
  FUZZ_CHECK(argc >= 1 && argv[argc] == nullptr);
  FUZZ_CHECK(options.lease_seconds == -1 ||
             (options.lease_seconds >= 1 && options.lease_seconds <= kLeaseMaxSeconds));
  FUZZ_CHECK(options.url.empty() ||
             (options.url.compare(0, 7, "http://") == 0 && options.url.size() <= kUrlMax));

  RequestRecord request;
  int count = argc - 1;
  if (take_quick_option(argc, argv.data())) --count;
  const int code = parse_command(count, argv.data(), &request);

  FUZZ_CHECK(known_code(code));
  FUZZ_CHECK(request.ip_address.size() <= kAddressTextMax);
  FUZZ_CHECK(request.protocol.empty() || request.protocol.size() == 3);
  FUZZ_CHECK(request.description.size() <= kDescriptionMax);
  FUZZ_CHECK(request.entry_id == -1 || (request.entry_id >= 1 && request.entry_id <= 999));
  FUZZ_CHECK(request.enabled >= -1 && request.enabled <= 1);
  if (code >= kAddWithDescription && code <= kRemove) {
    FUZZ_CHECK(request.external_port != 0);
    FUZZ_CHECK(text_equal_ignoring_case(request.protocol, "TCP") ||
               text_equal_ignoring_case(request.protocol, "UDP"));
  }
  if (code >= kAddWithDescription && code <= kAddClient) FUZZ_CHECK(request.internal_port != 0);
  if (code == kListById) FUZZ_CHECK(request.entry_id >= 1);
  const int criteria = criteria_of(code);
  if (criteria > 0) {
    // Every criterion given has its value, and none that was not given is set.
    FUZZ_CHECK(((criteria & 1) != 0) == !request.protocol.empty());
    FUZZ_CHECK(((criteria & 2) != 0) == !request.ip_address.empty());
    FUZZ_CHECK(((criteria & 4) != 0) == (request.internal_port != 0));
    FUZZ_CHECK(((criteria & 8) != 0) == (request.external_port != 0));
    FUZZ_CHECK(((criteria & 16) != 0) == (request.enabled != -1));
  }
  return 0;
}
