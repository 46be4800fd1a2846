// A held set's file of any text: a file that reads holds only adds and pinhole adds,
// each within its bounds, each line's words found again when quoted back; one that does
// not names its file and line. Each line alone through the word splitter: quoting its
// words and splitting again gives the same words.
#include <set>
#include <vector>

#include "base/limits.h"
#include "cli/grammar.h"
#include "cli/options.h"
#include "hold/set.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

/// A word quoted as the file's reader takes it back: '...' with each ' as '\''.
std::string quoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void check_line(const HoldLine& line) {
  const int code = line.code;
  FUZZ_CHECK(code == kAdd || code == kAddWithDescription || code == kAddClient ||
             code == kAddClientWithDescription || code == kPinholeAdd);
  FUZZ_CHECK(line.via == "upnp" || line.via == "pcp" || line.via == "natpmp");
  if (code == kPinholeAdd) {
    FUZZ_CHECK(line.via != "natpmp");
    FUZZ_CHECK(line.request.pinhole_lease >= static_cast<uint32_t>(kKeepLeaseMinSeconds));
    return;
  }
  const uint32_t lease = line.request.lease_seconds;
  FUZZ_CHECK(lease >= static_cast<uint32_t>(kKeepLeaseMinSeconds) &&
             lease <= static_cast<uint32_t>(kLeaseMaxSeconds));
  if (line.via != "upnp") {
    FUZZ_CHECK(lease >= static_cast<uint32_t>(kPortmapLeaseMinSeconds) &&
               lease <= static_cast<uint32_t>(kPortmapLeaseMaxSeconds));
  }
  if (line.via == "natpmp") FUZZ_CHECK(line.request.ip_address.empty());
}

void check_split(const std::string& line) {
  std::vector<std::string> words;
  std::string problem;
  if (!hold_split_words(line, &words, &problem)) {
    FUZZ_CHECK(!problem.empty());
    return;
  }
  std::string again;
  for (const std::string& word : words) again += quoted(word) + " ";
  std::vector<std::string> words_again;
  FUZZ_CHECK(hold_split_words(again, &words_again, &problem));
  FUZZ_CHECK(words_again == words);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz_text(data, size);
  std::vector<HoldLine> lines;
  std::string problem;
  if (hold_parse(text, "held.conf", &lines, &problem)) {
    FUZZ_CHECK(lines.size() <= static_cast<size_t>(kHoldLinesMax));
    std::set<std::string> keys;
    int number = 0;
    for (const HoldLine& line : lines) {
      FUZZ_CHECK(line.number > number);
      number = line.number;
      FUZZ_CHECK(keys.insert(line.key).second);
      check_line(line);
    }
  } else {
    // "held.conf:LINE: what is wrong"
    FUZZ_CHECK(problem.compare(0, 10, "held.conf:") == 0);
    const size_t colon = problem.find(':', 10);
    FUZZ_CHECK(colon > 10 && colon != std::string::npos && problem.size() > colon + 2);
    FUZZ_CHECK(problem.find_first_not_of("0123456789", 10) == colon);
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.find('\0') == std::string::npos) check_split(line);
    start = end + 1;
  }
  return 0;
}
