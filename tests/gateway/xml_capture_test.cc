#include "gateway/xml_capture.h"

#include <gtest/gtest.h>

#include "tests/support/error_print.h"

namespace {

TEST(XmlCapture, StrayMarkupIsText) {
  XmlWatch watches[] = {{"a"}, {"b"}, {"c"}};
  ASSERT_EQ(xml_capture("<r><a>Tom & Jerry</a><b>x&amp;y &#x26; &nope; &</b>"
                        "<c><![CDATA[1&2]]> &lt;3</c></r>",
                        watches, 3),
            Error::kOk);
  EXPECT_EQ(watches[0].last, "Tom & Jerry");
  EXPECT_EQ(watches[1].last, "x&y & &nope; &");
  EXPECT_EQ(watches[2].last, "1&2 <3");
  XmlWatch stray{"a"};
  ASSERT_EQ(xml_capture("<r><a>D\xf0<\x8bU a < b <PU</a></r>", &stray, 1), Error::kOk);
  EXPECT_EQ(stray.last, "D\xc3\xb0<\xc2\x8bU a < b <PU");
  // A reference to a character XML cannot carry is read as the text it is written as.
  XmlWatch refs[] = {{"a"}, {"b"}};
  ASSERT_EQ(xml_capture("<r><a>x&#27;y&#0;&#xFFFE;</a><b>&#x1F600;&#9;</b></r>", refs, 2),
            Error::kOk);
  EXPECT_EQ(refs[0].last, "x&#27;y&#0;&#xFFFE;");
  EXPECT_EQ(refs[1].last, "\xf0\x9f\x98\x80\t");
  // Mending does not make other faults well-formed.
  XmlWatch watch{"a"};
  EXPECT_EQ(xml_capture("<r><a>a & b</r>", &watch, 1), Error::kGatewayUnparsable);
  EXPECT_EQ(xml_capture("<r><a>a <b>b</a></r>", &watch, 1), Error::kGatewayUnparsable);
  EXPECT_EQ(xml_capture("<r><a>a ]]> b</a></r>", &watch, 1), Error::kGatewayUnparsable);
}

TEST(XmlCapture, DocumentsInOtherEncodings) {
  const std::string latin1 = "<?xml version=\"1.0\" encoding='ISO-8859-1'?><r>a&b \xe9\x01</r>";
  // Expat reads the ISO-8859-1 document itself; its control character still refuses it.
  XmlWatch watch{"r"};
  EXPECT_EQ(xml_capture("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xe9</r>", &watch, 1),
            Error::kOk);
  EXPECT_EQ(watch.last, "caf\xc3\xa9");
  EXPECT_EQ(xml_capture(latin1, &watch, 1), Error::kGatewayUnparsable);
}

}  // namespace
