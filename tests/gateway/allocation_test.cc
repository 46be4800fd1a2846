// An allocation failing inside an XML handler: the parse fails with NoMemory, and the
// parser and everything the parse took are given back.
#include <gtest/gtest.h>

#include <string>

#include "gateway/xml_capture.h"
#include "tests/support/error_print.h"
#include "tests/support/failing_new.h"

namespace {

/// The capture of a text of 4000 lines: the parser hands it over a line at a time, so the
/// captured text grows by doubling to a 61441-byte block inside the character-data
/// handler, past a limit of 50000 that the document's own copies (about 40000 bytes each)
/// stay under.
Error capture_long_text(size_t fail_from) {
  std::string lines;
  for (int i = 0; i < 4000; ++i) lines += "xxxxxxxxx\n";
  const std::string document = "<r><a>" + lines + "</a></r>";
  XmlWatch watch{"a"};
  fail_allocations_from(fail_from);
  const Error error = xml_capture(document, &watch, 1);
  fail_allocations_from(0);
  if (error == Error::kOk) {
    EXPECT_EQ(watch.last.size(), 40000u);
  }
  return error;
}

TEST(AllocationFailure, InsideAHandlerNothingIsHeldAfterwards) {
  ASSERT_EQ(capture_long_text(0), Error::kOk);  // the control run
  // The first exception of a process sets up the unwinder's caches for good: one failure
  // first, so that the count below sees only what a failure leaves behind.
  ASSERT_EQ(capture_long_text(50000), Error::kNoMemory);
  const size_t before = heap_bytes_held();
  EXPECT_EQ(capture_long_text(50000), Error::kNoMemory);
  if (heap_bytes_known()) {
    EXPECT_EQ(heap_bytes_held(), before);
  }
}

}  // namespace
