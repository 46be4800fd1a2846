// The console operations on a POSIX terminal. Escape sequences go out only when
// standard output is a terminal: piped or redirected output is the report text alone.
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "render/console.h"
#include "render/terminal.h"

namespace {

bool is_terminal(ConsoleHandle console) {
  return isatty(static_cast<int>(console)) == 1;
}

/// Set once a colour went out to the terminal.
volatile sig_atomic_t coloured = 0;

/// A run ended by a signal gives the terminal its own colours back, then ends as the
/// signal says (the action is the default again by now).
void give_back_colours(int signal) {
  if (coloured) {
    static const char kReset[] = "\x1b[0m";
    const ssize_t written = write(STDOUT_FILENO, kReset, sizeof(kReset) - 1);
    (void)written;
  }
  raise(signal);
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

// The terminal shows the bytes it gets, and the arguments are the bytes typed. A run
// ended from outside (SIGTERM, the terminal hung up, SIGQUIT) leaves the terminal in its
// own colours; Ctrl-C is ignored by the driver, and a signal ignored from the start (as
// nohup leaves SIGHUP) stays ignored.
void console_start(int*, char***) {
  if (!is_terminal(console_output())) return;
  struct sigaction action {};
  action.sa_handler = give_back_colours;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (int signal : {SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction before {};
    if (sigaction(signal, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

void set_text_attribute(uint16_t attribute) {
  if (!is_terminal(console_output())) return;
  console_write(terminal_colour_sequence(attribute).c_str());
  coloured = 1;
}

void size_console(ConsoleHandle console, int16_t columns, int16_t rows) {
  if (!is_terminal(console)) return;
  winsize current{};
  if (ioctl(static_cast<int>(console), TIOCGWINSZ, &current) != 0) return;
  // A terminal tells no largest window (the request itself is the limit) and has no
  // buffer apart from its window.
  ConsoleSizePlan plan =
      size_console_plan(columns, 500, current.ws_col, current.ws_row, columns, rows, columns, rows);
  if (!plan.changes) return;
  // A terminal has no separate scroll-back buffer to size: only the window changes.
  console_printf("\x1b[8;%d;%dt", plan.window_bottom + 1, plan.window_right + 1);
}

void clear_screen(ConsoleHandle console) {
  if (!is_terminal(console)) return;
  console_write("\x1b[2J\x1b[H");
}
