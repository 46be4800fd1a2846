#include "base/text.h"

#include <gtest/gtest.h>

namespace {

struct TextCase {
  const char* given;
  const char* sent;       // text_for_sending
  const char* mended;     // text_mend_xml_chars
  const char* printable;  // text_printable
};

// What each of the three readings makes of bytes from outside. Latin-1 stands in for
// any byte that begins no UTF-8 sequence.
TEST(Text, BytesFromOutside) {
  const TextCase cases[] = {
      {"plain ASCII", "plain ASCII", "plain ASCII", "plain ASCII"},
      {"caf\xc3\xa9 \xe6\x97\xa5", "caf\xc3\xa9 \xe6\x97\xa5", "caf\xc3\xa9 \xe6\x97\xa5",
       "caf\xc3\xa9 \xe6\x97\xa5"},
      // A Latin-1 e-acute, as a non-UTF-8 terminal types it or an old router stores it.
      {"caf\xe9", "caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
      // C0 controls: tab stays in what is sent; line breaks stay in a document.
      {"ctl\x01"
       "char",
       "ctl char", "ctl char", "ctl char"},
      {"a\tb\nc\rd\x1b[2J\x7f", "a\tb c d [2J\x7f", "a\tb\nc\rd [2J\x7f", "a b c d [2J "},
      // What XML cannot carry at all.
      {"\xef\xbf\xbe\xef\xbf\xbf", "\xef\xbf\xbd\xef\xbf\xbd", "\xef\xbf\xbd\xef\xbf\xbd",
       "\xef\xbf\xbd\xef\xbf\xbd"},
      // Not UTF-8: overlong, surrogate, cut short, no such lead byte. Sending takes the
      // whole text as Latin-1, a document each stray byte.
      {"\xc3\xa9\xc0\xaf", "\xc3\x83\xc2\xa9\xc3\x80\xc2\xaf", "\xc3\xa9\xc3\x80\xc2\xaf",
       "\xc3\xa9\xc3\x80\xc2\xaf"},
      {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80", "\xc3\xad\xc2\xa0\xc2\x80", "\xc3\xad\xc2\xa0 "},
      {"x\xe2\x82", "x\xc3\xa2\xc2\x82", "x\xc3\xa2\xc2\x82", "x\xc3\xa2 "},
      // C1 controls, encoded or as stray bytes, and the characters that reorder a line,
      // are shown as blanks but sent and parsed as they are.
      {"\xc2\x85\xc2\x9b"
       "1m",
       "\xc2\x85\xc2\x9b"
       "1m",
       "\xc2\x85\xc2\x9b"
       "1m",
       "  1m"},
      {"evil\xe2\x80\xae"
       "txt.exe\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\xa8",
       "evil\xe2\x80\xae"
       "txt.exe\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\xa8",
       "evil\xe2\x80\xae"
       "txt.exe\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\xa8",
       "evil txt.exe   "},
      {"\x9b", "\xc2\x9b", "\xc2\x9b", " "},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(text_for_sending(c.given), c.sent) << c.given;
    EXPECT_EQ(text_mend_xml_chars(c.given), c.mended) << c.given;
    EXPECT_EQ(text_printable(c.given), c.printable) << c.given;
    // Each reading gives UTF-8 that the same reading leaves as it is.
    for (const std::string& out :
         {text_for_sending(c.given), text_mend_xml_chars(c.given), text_printable(c.given)}) {
      EXPECT_TRUE(text_is_utf8(out)) << c.given;
    }
    EXPECT_EQ(text_for_sending(c.sent), c.sent) << c.given;
    EXPECT_EQ(text_mend_xml_chars(c.mended), c.mended) << c.given;
    EXPECT_EQ(text_printable(c.printable), c.printable) << c.given;
  }
  const std::string nul("a\0b", 3);
  EXPECT_EQ(text_mend_xml_chars(nul), "a b");
  EXPECT_EQ(text_for_sending(nul), "a b");
}

TEST(Text, ColumnsShorteningAndPadding) {
  EXPECT_EQ(text_columns("abc"), 3u);
  EXPECT_EQ(text_columns("\xe6\x97\xa5\xe6\x9c\xac"), 4u);  // two wide characters
  EXPECT_EQ(text_columns("e\xcc\x81"), 1u);                 // e and a combining acute
  EXPECT_EQ(text_columns("\x01\xc2\x85\xe2\x80\xae"), 3u);  // controls show as blanks
  EXPECT_EQ(text_columns("\xe9"), 1u);

  std::string ascii(51, 'a'), fifty(50, 'a'), wide, accented, marked;
  for (int i = 0; i < 30; ++i) wide += "\xe6\x97\xa5";
  for (int i = 0; i < 51; ++i) accented += "\xc3\xa9";
  for (int i = 0; i < 60; ++i) marked += "e\xcc\x81";
  text_shorten(&ascii, 50, 47);
  EXPECT_EQ(ascii, std::string(47, 'a') + "...");
  text_shorten(&fifty, 50, 47);
  EXPECT_EQ(fifty, std::string(50, 'a'));
  text_shorten(&wide, 50, 47);  // 60 columns: 23 characters fill 46 of the 47
  EXPECT_EQ(wide.size(), 23u * 3 + 3);
  EXPECT_EQ(text_columns(wide), 49u);
  text_shorten(&accented, 50, 47);
  EXPECT_EQ(accented.size(), 47u * 2 + 3);
  text_shorten(&marked, 50, 47);  // each mark stays with its letter
  EXPECT_EQ(marked.substr(marked.size() - 6), "e\xcc\x81...");

  EXPECT_EQ(text_pad_right("\xe6\x97\xa5", 4), "\xe6\x97\xa5  ");
  EXPECT_EQ(text_pad_left("\xc3\xa9", 3), "  \xc3\xa9");
  EXPECT_EQ(text_pad_right("wider", 3), "wider");

  EXPECT_EQ(text_fit_bytes("a\xc3\xa9", 2), 1u);
  EXPECT_EQ(text_fit_bytes("a\xc3\xa9", 3), 3u);
  EXPECT_EQ(text_fit_bytes("\xe6\x97\xa5\xe6\x97\xa5", 5), 3u);
  EXPECT_EQ(text_fit_bytes("ab\xe9\xe9", 3), 3u);  // a stray byte is a character of its own
}

TEST(Text, CutAndComparison) {
  EXPECT_EQ(text_cut("ab\xe6\x97\xa5z", 5), "ab\xe6\x97\xa5");  // the wide one would straddle
  EXPECT_EQ(text_cut("a\xc3\xa9\xc3\xa9", 5), "a\xc3\xa9\xc3\xa9");
  EXPECT_EQ(text_cut("abc\xc3\xa9", 5), "abc\xc3\xa9");
  EXPECT_EQ(text_cut("abcd\xc3\xa9", 5), "abcd");

  EXPECT_TRUE(text_equal_ignoring_case("TcP", "tCp"));
  EXPECT_FALSE(text_equal_ignoring_case("TCP", "TCPX"));
  EXPECT_FALSE(text_equal_ignoring_case("\xc3\xa9", "\xc3\x89"));  // ASCII letters only
}

}  // namespace
