#include "base/text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cwchar>
#include <vector>

namespace {

std::string utf8(uint32_t code) {
  std::string out;
  if (code < 0x80) return std::string(1, static_cast<char>(code));
  const int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
  out += static_cast<char>(((0xFF00 >> (tail + 1)) & 0xFF) | (code >> (6 * tail)));
  for (int i = tail - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
  return out;
}

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

// Widths that were once counted wrong, and how the characters a terminal may not know
// are shown; on every build, since both carry the same table.
TEST(Text, WidthsAndStandIns) {
  std::string virama_row = "a";
  for (int i = 0; i < 40; ++i) virama_row += utf8(0x09CD);  // Bengali virama
  EXPECT_EQ(text_columns(virama_row), 1u);
  struct Width {
    uint32_t code;
    size_t columns;
  };
  const Width widths[] = {
      {0x0301, 0},  {0x0711, 0},  {0x0CBC, 0},  {0x180E, 0},  {0x206A, 0}, {0x206F, 0},
      {0xFFF9, 0},  {0xFFFB, 0},  {0x1D173, 0}, {0x1D17A, 0}, {0x00AD, 1}, {0x0600, 1},
      {0x1160, 0},  {0xD7B0, 0},  {0x4DC0, 2},  {0x4DFF, 2},  {0x3248, 2}, {0x1F6DD, 2},
      {0x1F6DF, 2}, {0x18B00, 2}, {0x18CD5, 2}, {0x1F600, 2}, {0x0041, 1}, {0x00E9, 1},
      {0x65E5, 2},  {0xFF21, 2},  {0x2615, 2},  {0x1F3FD, 2}, {0xE000, 1}, {0x10FFFD, 1},
  };
  for (const Width& w : widths) {
    EXPECT_EQ(text_printable(utf8(w.code)), utf8(w.code)) << std::hex << w.code;
    EXPECT_EQ(text_columns(utf8(w.code)), w.columns) << std::hex << w.code;
  }
  // Unassigned, noncharacters, and characters newer than Unicode 14.0 (U+1F6DC, U+1FAE8):
  // U+FFFD, one column.
  for (uint32_t code : {0x0378u, 0x0E3Bu, 0xFDD0u, 0xFFFEu, 0x1FFFFu, 0x2A6E0u, 0xE0000u, 0x10FFFFu,
                        0x1F6DCu, 0x1FAE8u}) {
    EXPECT_EQ(text_printable(utf8(code)), "\xef\xbf\xbd") << std::hex << code;
    EXPECT_EQ(text_columns(utf8(code)), 1u) << std::hex << code;
  }
  // An emoji family is four emoji, each drawn alone however a terminal joins them.
  const std::string man = utf8(0x1F468), woman = utf8(0x1F469), girl = utf8(0x1F467),
                    boy = utf8(0x1F466), joiner = utf8(0x200D);
  const std::string family = man + joiner + woman + joiner + girl + joiner + boy;
  EXPECT_EQ(text_printable(family), man + woman + girl + boy);
  EXPECT_EQ(text_columns(family), 8u);
  std::string families, shown;
  for (int i = 0; i < 8; ++i) families += family;
  for (int i = 0; i < 5; ++i) shown += man + woman + girl + boy;
  text_shorten(&families, 50, 47);  // 64 columns: 5 families and 3 emoji fill 46 of the 47
  EXPECT_EQ(text_printable(families), shown + man + woman + girl + "...");
  EXPECT_EQ(text_columns(families), 49u);
}

#ifndef _WIN32
// Every code point alone, against glibc's wcwidth under C.UTF-8, what tmux and most Linux
// terminals draw by: what is counted is what wcwidth gives for what is printed, nothing
// wcwidth draws is replaced, and only the listed characters it draws are shown otherwise.
TEST(Text, EveryCodePointAsWcwidthDrawsIt) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  std::vector<uint32_t> drawn_but_changed;
  size_t stand_ins = 0, blanks = 0, mismatches = 0;
  for (uint32_t code = 0; code <= 0x10FFFF; ++code) {
    if (code >= 0xD800 && code <= 0xDFFF) continue;  // no UTF-8 holds them
    const std::string given = utf8(code);
    const std::string shown = text_printable(given);
    wchar_t wide[4] = {};
    const size_t length = std::mbstowcs(wide, shown.c_str(), 4);
    const int drawn = length == 0 ? 0 : wcswidth(wide, length);
    const bool drawable = wcwidth(static_cast<wchar_t>(code)) >= 0;
    if (drawable && shown != given) drawn_but_changed.push_back(code);
    stand_ins += shown == "\xef\xbf\xbd" && given != shown;
    blanks += shown == " " && given != shown;
    if (drawn < 0 || text_columns(given) != static_cast<size_t>(drawn) ||
        text_columns(shown) != static_cast<size_t>(drawn)) {
      if (++mismatches <= 20) {
        ADD_FAILURE() << "U+" << std::hex << code << std::dec << ": counted " << text_columns(given)
                      << ", printed as " << text_columns(shown) << ", drawn " << drawn;
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
  // NUL and the bidirectional controls reorder nothing once blank; the joiner is left out.
  const std::vector<uint32_t> expected = {0x0000, 0x061C, 0x200D, 0x200E, 0x200F, 0x202A, 0x202B,
                                          0x202C, 0x202D, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069};
  EXPECT_EQ(drawn_but_changed, expected);
  // 65 controls and the two separators as blanks, besides the listed ones.
  EXPECT_EQ(blanks, 67u + 12u);
  RecordProperty("stand_ins", static_cast<int>(stand_ins));
}
#endif

TEST(Text, UpperAscii) {
  // a..z alone: other bytes, a Latin-1 one among them, pass unchanged.
  EXPECT_EQ(text_upper_ascii("aZ-09\xe9x"), "AZ-09\xe9X");
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
