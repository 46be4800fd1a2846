#include "gateway/xml_capture.h"

#include <gtest/gtest.h>

namespace {

struct MendCase {
  const char* text;
  const char* mended;
};

/// Each case mends to what it says, and its mended form stays as it is.
template <size_t N>
void expect_markup_mends(const MendCase (&cases)[N]) {
  for (const MendCase& c : cases) {
    EXPECT_EQ(xml_mend_markup(c.text), c.mended) << c.text;
    EXPECT_EQ(xml_mend_markup(c.mended), c.mended) << "mended twice: " << c.text;
  }
}

TEST(XmlMend, BareAmpersandsBecomeReferences) {
  const MendCase cases[] = {
      // References Expat takes as they are.
      {"&amp;&lt;&gt;&quot;&apos;", "&amp;&lt;&gt;&quot;&apos;"},
      {"&#48;&#0065;&#x41;&#xaF;", "&#48;&#0065;&#x41;&#xaF;"},
      // Everything else that starts with '&'.
      {"&start", "&amp;start"},
      {"end&", "end&amp;"},
      {"a&b", "a&amp;b"},
      {"&&amp;", "&amp;&amp;"},
      {"&;", "&amp;;"},
      {"&#;", "&amp;#;"},
      {"&#x;", "&amp;#x;"},
      {"&#X41;", "&amp;#X41;"},
      {"&#12a;", "&amp;#12a;"},
      {"&#xfg;", "&amp;#xfg;"},
      {"&#12", "&amp;#12"},
      {"&amp", "&amp;amp"},
      {"&AMP;", "&amp;AMP;"},
      {"&unknown;", "&amp;unknown;"},
      {"&nbsp;", "&amp;nbsp;"},
      {"<a x=\"1&2\">&</a>", "<a x=\"1&amp;2\">&amp;</a>"},
      // Where '&' is not a reference at all, nothing changes.
      {"<![CDATA[a&b]]>&", "<![CDATA[a&b]]>&amp;"},
      {"<!-- a&b -->&", "<!-- a&b -->&amp;"},
      {"<?pi a&b?>&", "<?pi a&b?>&amp;"},
      {"<![CDATA[never closed & ", "<![CDATA[never closed & "},
      {"<!-- <![CDATA[ -->&", "<!-- <![CDATA[ -->&amp;"},
      {"", ""},
      // A document type declaration may declare entities: a named reference is kept.
      {"<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e; &e.f-1:g; & &#; &1</r>",
       "<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e; &e.f-1:g; &amp; &amp;#; &amp;1</r>"},
  };
  expect_markup_mends(cases);
}

TEST(XmlMend, LessThanSignsThatOpenNoTagBecomeReferences) {
  const MendCase cases[] = {
      // Tags, with '>' inside an attribute value and names of every kind of start.
      {"<r a=\"x>y\"><_b/><:c></:c><\xc3\xa9/></r>", "<r a=\"x>y\"><_b/><:c></:c><\xc3\xa9/></r>"},
      {"<?xml version=\"1.0\"?><!-- < --><r><![CDATA[<<]]></r>",
       "<?xml version=\"1.0\"?><!-- < --><r><![CDATA[<<]]></r>"},
      // No name after it, no '>' before the next '<', or no '>' at all.
      {"<r>a < b</r>", "<r>a &lt; b</r>"},
      {"<r>DD\xf0<\x8bU</r>", "<r>DD\xf0&lt;\x8bU</r>"},
      {"<r>DD<PU</r>", "<r>DD&lt;PU</r>"},
      {"<r><<>></r>", "<r>&lt;&lt;>></r>"},
      {"<r>1<2<3</r>", "<r>1&lt;2&lt;3</r>"},
      {"<r>x<!y</r>", "<r>x&lt;!y</r>"},
      {"<r>end<", "<r>end&lt;"},
      {"<r>end<a", "<r>end&lt;a"},
      {"<r>&<</r>", "<r>&amp;&lt;</r>"},
      // With a document type declaration only ampersands are mended.
      {"<!DOCTYPE r [<!ENTITY e \"<b>\">]><r>a < b</r>",
       "<!DOCTYPE r [<!ENTITY e \"<b>\">]><r>a < b</r>"},
  };
  expect_markup_mends(cases);
}

TEST(XmlMend, CaptureReadsStrayMarkupAsText) {
  XmlWatch watches[] = {{"a"}, {"b"}, {"c"}};
  ASSERT_EQ(xml_capture("<r><a>Tom & Jerry</a><b>x&amp;y &#x26; &nope; &</b>"
                        "<c><![CDATA[1&2]]> &lt;3</c></r>",
                        watches, 3),
            0);
  EXPECT_EQ(watches[0].last, "Tom & Jerry");
  EXPECT_EQ(watches[1].last, "x&y & &nope; &");
  EXPECT_EQ(watches[2].last, "1&2 <3");
  XmlWatch stray{"a"};
  ASSERT_EQ(xml_capture("<r><a>D\xf0<\x8bU a < b <PU</a></r>", &stray, 1), 0);
  EXPECT_EQ(stray.last, "D\xc3\xb0<\xc2\x8bU a < b <PU");
  // Mending does not make other faults well-formed.
  XmlWatch watch{"a"};
  EXPECT_EQ(xml_capture("<r><a>&#0;</a></r>", &watch, 1), kGatewayUnparsable);
  EXPECT_EQ(xml_capture("<r><a>a & b</r>", &watch, 1), kGatewayUnparsable);
  EXPECT_EQ(xml_capture("<r><a>a <b>b</a></r>", &watch, 1), kGatewayUnparsable);
  EXPECT_EQ(xml_capture("<r><a>a ]]> b</a></r>", &watch, 1), kGatewayUnparsable);
}

TEST(XmlMend, OnlyUtf8DocumentsAreMended) {
  const std::string utf16("\xff\xfe<\0r\0>\0a\0&\0\xe9\0<\0/\0r\0>\0", 22);
  const std::string utf16_unmarked("\0<\0r\0>\0&\0<\0/\0r\0>", 14);
  const std::string latin1 = "<?xml version=\"1.0\" encoding='ISO-8859-1'?><r>a&b \xe9\x01</r>";
  for (const std::string& document : {utf16, utf16_unmarked, latin1}) {
    EXPECT_FALSE(xml_is_utf8_document(document));
    EXPECT_EQ(xml_mend(document), document);
  }
  const MendCase cases[] = {
      {"<r>a&b \xe9\x01</r>", "<r>a&amp;b \xc3\xa9 </r>"},
      {"\xef\xbb\xbf<r>\xe9</r>", "\xef\xbb\xbf<r>\xc3\xa9</r>"},
      {"<?xml version=\"1.0\" encoding = \"utf-8\"?><r>&\xe9</r>",
       "<?xml version=\"1.0\" encoding = \"utf-8\"?><r>&amp;\xc3\xa9</r>"},
      {"<?xml version=\"1.0\"?>\r\n<r>\x1f</r>\r\n", "<?xml version=\"1.0\"?>\r\n<r> </r>\r\n"},
  };
  for (const MendCase& c : cases) {
    EXPECT_TRUE(xml_is_utf8_document(c.text)) << c.text;
    EXPECT_EQ(xml_mend(c.text), c.mended) << c.text;
  }
  // Expat reads the ISO-8859-1 document itself; its control character still refuses it.
  XmlWatch watch{"r"};
  EXPECT_EQ(xml_capture("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xe9</r>", &watch, 1),
            0);
  EXPECT_EQ(watch.last, "caf\xc3\xa9");
  EXPECT_EQ(xml_capture(latin1, &watch, 1), kGatewayUnparsable);
}

}  // namespace
