// The console operations on a POSIX terminal. Escape sequences go out only when
// standard output is a terminal: piped or redirected output is the report text alone.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "front/console.h"
#include "front/terminal.h"

namespace {

bool is_terminal(ConsoleHandle console) {
  return isatty(static_cast<int>(console)) == 1;
}

/// ANSI colour index (red 1, green 2, blue 4) of a console colour nibble (blue 1, red 4).
int ansi_index(int nibble) {
  return (nibble & 1 ? 4 : 0) | (nibble & 2 ? 2 : 0) | (nibble & 4 ? 1 : 0);
}

}  // namespace

std::string terminal_colour_sequence(uint16_t attribute) {
  if (attribute == kColourDefault) return "\x1b[0m";  // the terminal's own colours
  int foreground = attribute & 0x0F;
  int background = (attribute >> 4) & 0x0F;
  int fg = (foreground & 8 ? 90 : 30) + ansi_index(foreground);
  int bg = (background & 8 ? 100 : 40) + ansi_index(background);
  return "\x1b[0;" + std::to_string(fg) + ";" + std::to_string(bg) + "m";
}

void console_write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

ConsoleHandle console_output() {
  return STDOUT_FILENO;
}

// The terminal shows the bytes it gets, and the arguments are the bytes typed.
void console_start(int*, char***) {}

void set_text_attribute(uint16_t attribute) {
  if (!is_terminal(console_output())) return;
  console_write(terminal_colour_sequence(attribute).c_str());
}

void size_console(ConsoleHandle console, int16_t columns, int16_t rows) {
  if (!is_terminal(console)) return;
  winsize current{};
  if (ioctl(static_cast<int>(console), TIOCGWINSZ, &current) != 0) return;
  // A terminal tells no largest window; the request itself is the limit.
  ConsoleSizePlan plan =
      size_console_plan(current.ws_col, current.ws_row, columns, rows, columns, rows);
  if (plan.order == 0) return;
  // A terminal has no separate scroll-back buffer to size: only the window changes.
  console_printf("\x1b[8;%d;%dt", plan.window_bottom + 1, plan.window_right + 1);
}

void clear_screen(ConsoleHandle console) {
  if (!is_terminal(console)) return;
  console_write("\x1b[2J\x1b[H");
}
