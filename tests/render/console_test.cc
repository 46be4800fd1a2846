#include "render/console.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace {

TEST(Console, DescriptionShortensPastFifty) {
  std::string fifty(50, 'a');
  std::string kept = fifty;
  truncate_description(&kept);
  EXPECT_EQ(kept, fifty);

  std::string longer = std::string(47, 'b') + "cdef";  // 51 characters
  truncate_description(&longer);
  EXPECT_EQ(longer, std::string(47, 'b') + "...");

  std::string empty;
  truncate_description(&empty);
  EXPECT_EQ(empty, "");
}

TEST(Console, InfoShortensFromFortyFour) {
  std::string text(43, 'x');
  truncate_info(&text);
  EXPECT_EQ(text, std::string(43, 'x'));

  text = std::string(40, 'y') + "zzzz";  // 44 characters
  truncate_info(&text);
  EXPECT_EQ(text, std::string(40, 'y') + "...");

  text = std::string(49, 'w');
  truncate_info(&text);
  EXPECT_EQ(text.size(), 43u);
}

TEST(Console, ControlCharactersPrintAsBlanks) {
  // Every text from outside reaches the screen through a cell.
  EXPECT_EQ(cell("a\rb\nc\td\x1b[2J\x7f", 14), "a b c d [2J   ");
  EXPECT_EQ(fixed_cell_right("\x1b[2J", 6), "   [2J");
  // Everything else is kept byte for byte, UTF-8 included.
  const std::string kept = "AT&T <web> \xc3\xa9 ~ !";
  EXPECT_EQ(cell(kept, 10), kept);
}

struct RowsCase {
  const char* name;
  std::string message;
  std::vector<std::string> rows;  // each row's text, before its padding
};

TEST(Console, AMessageWiderThanItsRowGoesOnBelowBetweenWords) {
  const std::string sixty_six(66, 'm');
  const std::string gateway = "2001:db8:ffff:ffff:ffff:ffff:ffff:fffe";
  const RowsCase cases[] = {
      {"fits: one row (the control)", sixty_six, {sixty_six}},
      {"empty", "", {""}},
      {"67: the last word below",
       "Remove Entry Unknown -> Answer Lost And Entry Unreadable On Router.",
       {"Remove Entry Unknown -> Answer Lost And Entry Unreadable On", "Router."}},
      {"a blank right after the 66th column", sixty_six + " next", {sixty_six, "next"}},
      {"an address past the row",
       "PCP Failure -> No Answer From " + gateway + ".",
       {"PCP Failure -> No Answer From", gateway + "."}},
      {"one word wider than a row, cut",
       std::string(70, 'w'),
       {std::string(66, 'w'), std::string(4, 'w')}},
  };
  for (const RowsCase& c : cases) {
    std::vector<std::string> framed;
    for (const std::string& row : c.rows) framed.push_back("| " + text_pad_right(row, 66) + " |\n");
    EXPECT_EQ(message_rows(c.message), framed) << c.name;
  }
  // East Asian wide characters take two columns each: 33 of them fill a row, the 34th
  // goes below; every row is 70 columns.
  std::string wide;
  for (int i = 0; i < 34; ++i) wide += "\xe6\x97\xa5";  // U+65E5
  const std::vector<std::string> rows = message_rows(wide);
  ASSERT_EQ(rows.size(), 2u);
  for (const std::string& row : rows) EXPECT_EQ(text_columns(row.substr(0, row.size() - 1)), 70u);
  EXPECT_EQ(rows[1], "| \xe6\x97\xa5" + std::string(64, ' ') + " |\n");
}

struct SizeCase {
  const char* name;
  int buffer_columns, buffer_rows, window_columns, window_rows, largest_columns, largest_rows;
  int shrink_right, shrink_bottom, window_right, window_bottom;
  bool changes;
};

TEST(Console, SizePlanKeepsTheWindowInsideTheBuffer) {
  const SizeCase cases[] = {
      // A legacy console: the window is the whole buffer, wider than the new one and
      // shorter than the new window, so neither change alone could go first.
      {"80 x 25 buffer and window", 80, 25, 80, 25, 200, 80, 70, 24, 70, 49, true},
      {"a large buffer under a wide window", 120, 9001, 120, 30, 200, 80, 70, 29, 70, 49, true},
      {"a small window on a large buffer", 120, 9001, 40, 20, 200, 80, 39, 19, 70, 49, true},
      {"already as needed", 71, 500, 71, 50, 200, 80, 70, 49, 70, 49, false},
      {"the right window over another buffer", 71, 9001, 71, 50, 200, 80, 70, 49, 70, 49, true},
      // A narrow display gets the widest window it allows; the buffer stays 71 x 500.
      {"a narrow display", 60, 30, 60, 30, 60, 40, 59, 29, 59, 39, true},
  };
  for (const SizeCase& c : cases) {
    const ConsoleSizePlan plan =
        size_console_plan(c.buffer_columns, c.buffer_rows, c.window_columns, c.window_rows,
                          c.largest_columns, c.largest_rows, 71, 50);
    EXPECT_EQ(plan.shrink_right, c.shrink_right) << c.name;
    EXPECT_EQ(plan.shrink_bottom, c.shrink_bottom) << c.name;
    EXPECT_EQ(plan.window_right, c.window_right) << c.name;
    EXPECT_EQ(plan.window_bottom, c.window_bottom) << c.name;
    EXPECT_EQ(plan.buffer_columns, 71) << c.name;
    EXPECT_EQ(plan.buffer_rows, 500) << c.name;
    EXPECT_EQ(plan.changes, c.changes) << c.name;
    // Each step leaves the window inside the buffer it stands on.
    EXPECT_LT(plan.shrink_right, c.buffer_columns) << c.name;
    EXPECT_LT(plan.shrink_bottom, c.buffer_rows) << c.name;
    EXPECT_LT(plan.shrink_right, plan.buffer_columns) << c.name;
    EXPECT_LT(plan.window_bottom, plan.buffer_rows) << c.name;
  }
}

}  // namespace
