// Random argument vectors (NUL-separated in the input) through the long options alone:
// what they take off the front is whole options, the rest stays as it was and in order,
// every value kept is one its option allows, and a refusal says why.
#include <vector>

#include "base/limits.h"
#include "cli/options.h"
#include "net/socket.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void check_values(const RunOptions& options) {
  FUZZ_CHECK(options.lease_seconds == -1 ||
             (options.lease_seconds >= 1 && options.lease_seconds <= kLeaseMaxSeconds));
  if (!options.url.empty()) {
    FUZZ_CHECK(options.url.compare(0, 7, "http://") == 0 && options.url.size() <= kUrlMax);
    FUZZ_CHECK(options.url.find_first_of(" \t\r\n") == std::string::npos);
  }
  FUZZ_CHECK(options.interface_name.size() <= 255);
  if (!options.gateway.empty()) {
    uint8_t bytes[16];
    FUZZ_CHECK(options.gateway.size() <= kAddressTextMax);
    FUZZ_CHECK(net_address_bytes(options.gateway, bytes));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz_text(data, size);
  std::vector<std::string> words{"portwrangler"};
  size_t start = 0;
  while (start <= input.size() && words.size() < 16) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    words.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const std::vector<char*> before = argv;
  int argc = static_cast<int>(words.size());
  RunOptions options;
  std::string problem;
  const bool good = take_long_options(&argc, argv.data(), &options, &problem);
  FUZZ_CHECK(good == problem.empty());
  FUZZ_CHECK(argc >= 1 && argc <= static_cast<int>(words.size()));
  const int taken = static_cast<int>(words.size()) - argc;
  FUZZ_CHECK(argv[0] == before[0]);
  for (int i = 1; i <= argc; ++i) FUZZ_CHECK(argv[i] == before[i + taken]);
  // What is taken starts with an option, and what is left does not, unless a "--" ended
  // them or it is the value of the last one taken.
  if (taken > 0) FUZZ_CHECK(std::string(before[1]).compare(0, 2, "--") == 0);
  if (argc > 1 && std::string(argv[1]).compare(0, 2, "--") == 0) {
    FUZZ_CHECK(taken > 0 && std::string(before[taken]) == "--");
  }
  check_values(options);
  std::string fit;
  if (!options_fit_hold(options, argc, &fit)) FUZZ_CHECK(!fit.empty());
  (void)exit_status_meaningful(options);
  return 0;
}
