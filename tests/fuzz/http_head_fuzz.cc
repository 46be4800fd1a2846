// The response-head parsers on any head: a status only from an "HTTP/1." line, and a
// body length that never passes the cap.
#include "base/limits.h"
#include "net/http.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kHttpHeadMax) return 0;  // the head read refuses anything longer
  // The head reaches the parsers as a C text: bytes after a NUL never count.
  std::string head = fuzz_text(data, size);
  head = head.c_str();
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
