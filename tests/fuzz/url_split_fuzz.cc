// url_split on any text: a split URL has a port of 1..65535 and parts that fit the token;
// what url_parse reads, url_text writes so that it reads the same again.
#include "base/limits.h"
#include "net/http.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string url = fuzz_text(data, size);
  std::string host, path;
  int port = -1;
  if (url_split(url, &host, &path, &port) == Error::kOk) {
    FUZZ_CHECK(port >= 1 && port <= 65535);
    FUZZ_CHECK(host.size() + path.size() < kUrlMax);
    FUZZ_CHECK(host.find_first_of(" \t\r\n/") == std::string::npos);
    // What came out splits again the same way, in the form control URLs are built in
    // (unless writing the port out makes it longer than a token may be).
    std::string again_host, again_path;
    int again_port = -1;
    std::string rebuilt = http_host_port(host, port) + "/" + path;
    if (!host.empty() && rebuilt.size() <= kUrlMax) {
      FUZZ_CHECK(url_split(rebuilt, &again_host, &again_path, &again_port) == Error::kOk);
      FUZZ_CHECK(again_host == host && again_path == path && again_port == port);
    }
  } else {
    FUZZ_CHECK(port == -1);
  }
  // The writer's text parses back to the same parts.
  Url parsed;
  if (url_parse(url, &parsed) == Error::kOk) {
    const std::string written = url_text(parsed);
    Url again;
    if (written.size() - 7 <= kUrlMax &&
        written.find_first_of(" \t\r\n\v\f") == std::string::npos) {
      FUZZ_CHECK(url_parse(written, &again) == Error::kOk);
      FUZZ_CHECK(again.host == parsed.host && again.zone == parsed.zone &&
                 again.port == parsed.port && again.path == parsed.path);
    }
  }
  return 0;
}
