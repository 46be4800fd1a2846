#include "front/console.h"

#include <gtest/gtest.h>

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

TEST(Console, SizePlanOrdersTheTwoChanges) {
  // A large buffer shrinks: window first, then buffer.
  ConsoleSizePlan shrink = size_console_plan(120, 9000, 200, 80, 71, 50);
  EXPECT_EQ(shrink.order, 1);
  EXPECT_EQ(shrink.window_right, 70);
  EXPECT_EQ(shrink.window_bottom, 49);
  EXPECT_EQ(shrink.buffer_columns, 71);
  EXPECT_EQ(shrink.buffer_rows, 500);

  ConsoleSizePlan grow = size_console_plan(40, 20, 200, 80, 71, 50);
  EXPECT_EQ(grow.order, -1);

  ConsoleSizePlan same = size_console_plan(71, 50, 200, 80, 71, 50);
  EXPECT_EQ(same.order, 0);

  // A narrow display gets the widest window it allows; the buffer stays 71 x 500.
  ConsoleSizePlan narrow = size_console_plan(60, 30, 60, 40, 71, 50);
  EXPECT_EQ(narrow.window_right, 59);
  EXPECT_EQ(narrow.window_bottom, 39);
  EXPECT_EQ(narrow.buffer_columns, 71);
  EXPECT_EQ(narrow.buffer_rows, 500);
}

}  // namespace
