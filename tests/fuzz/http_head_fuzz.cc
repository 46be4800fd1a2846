// The response parsers on any bytes: a status only from an "HTTP/1." line, a body length
// that never passes the cap, and a chunked body decoded within the cap, taking no more
// bytes of the encoding than its budget, the same however it was cut into chunks.
#include <algorithm>

#include "base/limits.h"
#include "net/http.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/dechunk.h"

namespace {

/// `body` sent in chunks of `size` bytes, with the last chunk.
std::string chunked(const std::string& body, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t at = 0; at < body.size(); at += size) {
    const size_t length = std::min(size, body.size() - at);
    std::string digits;
    for (size_t n = length; n > 0; n /= 16) digits.insert(digits.begin(), kHex[n % 16]);
    out += digits + "\r\n" + body.substr(at, length) + "\r\n";
  }
  return out + "0\r\n\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = fuzz_text(data, size);

  // Whatever arrives as a chunked body decodes to no more than the cap, and the decoder
  // takes no byte past its budget: it either ends or takes all it is given.
  HttpChunkDecoder decoder;
  const size_t taken = decoder.feed(bytes.data(), bytes.size());
  FUZZ_CHECK(taken <= bytes.size() && decoder.consumed == taken);
  FUZZ_CHECK(decoder.consumed <= kHttpChunkedMax);
  FUZZ_CHECK(decoder.finished() || taken == bytes.size());
  bool whole = false;
  const std::string body = http_dechunk(bytes, &whole);
  FUZZ_CHECK(body == decoder.body && body.size() <= kHttpBodyMax);
  if (body.size() < kHttpBodyMax) {
    // Cut into other chunks (two bytes the smallest the budget takes whole at the cap),
    // the same body comes back whole.
    for (size_t chunk : {size_t{2}, size_t{7}, size_t{4096}}) {
      bool again_whole = false;
      FUZZ_CHECK(http_dechunk(chunked(body, chunk), &again_whole) == body);
      FUZZ_CHECK(again_whole);
    }
  }

  if (size > kHttpHeadMax) return 0;  // the head read refuses anything longer
  // The head reaches the parsers as a C text: bytes after a NUL never count.
  const std::string head = bytes.c_str();
  int status = -12345;
  const Error error = http_status(head, &status);
  if (error == Error::kOk) {
    FUZZ_CHECK(head.compare(0, 7, "HTTP/1.") == 0);
    FUZZ_CHECK(status >= 0 && status <= 999);  // three digits, never a wrapped number
  } else {
    FUZZ_CHECK(error == Error::kHttpBadStatusLine);
    FUZZ_CHECK(status == -12345);
  }
  const size_t length = http_content_length(head);
  FUZZ_CHECK(length <= kHttpBodyMax);
  return 0;
}
