#include "gateway/xml.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "tests/support/error_print.h"

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
      {"&#9;&#10;&#13;&#32;&#xD7FF;&#xE000;&#xFFFD;&#x10000;&#x10FFFF;&#1114111;",
       "&#9;&#10;&#13;&#32;&#xD7FF;&#xE000;&#xFFFD;&#x10000;&#x10FFFF;&#1114111;"},
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

TEST(XmlMend, ReferencesToCharactersXmlCannotCarryAreText) {
  const MendCase cases[] = {
      // C0 controls but tab, line feed and carriage return; written either way.
      {"&#27;", "&amp;#27;"},
      {"&#0;&#1;&#31;", "&amp;#0;&amp;#1;&amp;#31;"},
      {"&#x1b;&#x0;&#x8;", "&amp;#x1b;&amp;#x0;&amp;#x8;"},
      {"&#0009;", "&#0009;"},
      // Surrogates, the two noncharacters XML leaves out, and past U+10FFFF.
      {"&#xD800;&#xDFFF;&#55296;", "&amp;#xD800;&amp;#xDFFF;&amp;#55296;"},
      {"&#xFFFE;&#xFFFF;&#65535;", "&amp;#xFFFE;&amp;#xFFFF;&amp;#65535;"},
      {"&#x110000;&#1114112;", "&amp;#x110000;&amp;#1114112;"},
      {"&#99999999999999999999999;&#x100000000000000041;",
       "&amp;#99999999999999999999999;&amp;#x100000000000000041;"},
      // In a document with a DOCTYPE too.
      {"<!DOCTYPE r><r>&#27;&e;</r>", "<!DOCTYPE r><r>&amp;#27;&e;</r>"},
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
}

/// Records the events of a parse, and throws at the start of the element named `fail_at`.
struct Recorder {
  std::string events;
  std::string fail_at;
};

XmlHandlers recording_handlers() {
  return {[](void* state, const char* name) {
            Recorder* r = static_cast<Recorder*>(state);
            if (r->fail_at == name) throw std::bad_alloc();
            r->events += std::string("<") + name;
          },
          [](void* state, const char* name) {
            static_cast<Recorder*>(state)->events += std::string(">") + name;
          },
          [](void* state, const char* text, size_t length) {
            static_cast<Recorder*>(state)->events += "'" + std::string(text, length);
          }};
}

TEST(XmlParse, EventsInOrderAndAFailingHandlerStopsThere) {
  const XmlHandlers handlers = recording_handlers();
  Recorder all;
  ASSERT_EQ(xml_parse("<r><a>x &amp; y</a><b/></r>", handlers, &all), Error::kOk);
  EXPECT_EQ(all.events, "<r<a'x '&' y>a<b>b>r");

  // The handler's failure is the parse's, and nothing after it is reported.
  Recorder failing;
  failing.fail_at = "b";
  EXPECT_EQ(xml_parse("<r><a>x</a><b>y</b><c/></r>", handlers, &failing), Error::kNoMemory);
  EXPECT_EQ(failing.events, "<r<a'x>a");

  Recorder malformed;
  EXPECT_EQ(xml_parse("<r><a></r>", handlers, &malformed), Error::kGatewayUnparsable);
}

}  // namespace
