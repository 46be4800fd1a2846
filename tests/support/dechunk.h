// A chunked body decoded in one go, for the tests: what the client's decoder makes of
// all of `data` at once.
#ifndef PORTWRANGLER_TESTS_SUPPORT_DECHUNK_H_
#define PORTWRANGLER_TESTS_SUPPORT_DECHUNK_H_

#include <string>

#include "net/http.h"

/// The body of chunked `data`, at most 65536 bytes of it, and whether the last chunk came
/// (or the cap was reached). A garbled chunk, or more than kHttpChunkedMax bytes before
/// the end, ends the body there, not whole.
inline std::string http_dechunk(const std::string& data, bool* whole) {
  HttpChunkDecoder decoder;
  decoder.feed(data.data(), data.size());
  *whole = decoder.whole && !decoder.garbled;
  return decoder.body;
}

#endif  // PORTWRANGLER_TESTS_SUPPORT_DECHUNK_H_
