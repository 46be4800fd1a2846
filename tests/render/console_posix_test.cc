// The terminal behind the console operations on POSIX systems.
#include <gtest/gtest.h>

#include "render/console.h"
#include "render/terminal.h"

namespace {

TEST(Console, ColoursMapOntoAnsi) {
  // Console bits: 1 blue, 2 green, 4 red, 8 bright; ANSI indexes: 1 red, 2 green, 4 blue.
  EXPECT_EQ(terminal_colour_sequence(0x1A), "\x1b[0;92;44m");   // bright green on blue
  EXPECT_EQ(terminal_colour_sequence(0x5B), "\x1b[0;96;45m");   // bright cyan on magenta
  EXPECT_EQ(terminal_colour_sequence(0x4F), "\x1b[0;97;41m");   // bright white on red
  EXPECT_EQ(terminal_colour_sequence(0xED), "\x1b[0;95;103m");  // bright magenta on bright yellow
  EXPECT_EQ(terminal_colour_sequence(0x07), "\x1b[0m");         // back to the terminal's own
  EXPECT_EQ(terminal_colour_sequence(0x70), "\x1b[0;30;47m");   // black on grey
}

}  // namespace
