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
