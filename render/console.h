// Console screens and the status routine: the only code that prints. Every box is
// 70 columns wide; colours are Windows console attribute bytes (low nibble foreground,
// high nibble background; bits 1 blue, 2 green, 4 red, 8 bright) that the platform
// console file maps onto its terminal.
#ifndef PORTWRANGLER_RENDER_CONSOLE_H_
#define PORTWRANGLER_RENDER_CONSOLE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/format.h"
#include "cli/status.h"

constexpr uint16_t kColourBannerFirst = 0x1A;  // also the closing frame
constexpr uint16_t kColourBannerSecond = 0x5B;
constexpr uint16_t kColourReport = 0x4F;
constexpr uint16_t kColourHighlight = 0xED;
constexpr uint16_t kColourDefault = 0x07;

/// A console output handle of the platform (a HANDLE on Windows, an fd elsewhere).
using ConsoleHandle = long long;

/// The standard output handle.
ConsoleHandle console_output();

/// Readies the console for the run without changing its settings: `*argc` / `*argv`
/// become the command line in UTF-8 where the platform hands it over in another encoding
/// (Windows' ANSI code page), and a run ended from outside gives the console its colours
/// back (Ctrl-Break or the window closed on Windows; SIGTERM, SIGHUP or SIGQUIT on a
/// terminal).
void console_start(int* argc, char*** argv);

/// Sets the colour of everything written to standard output from now on; kColourDefault
/// is the console's own colour of before the run.
void set_text_attribute(uint16_t attribute);

/// Sizes the window to at most `columns` by `rows` over a 71 x 500 buffer.
void size_console(ConsoleHandle console, int16_t columns, int16_t rows);

/// Blanks the whole screen and puts the cursor home.
void clear_screen(ConsoleHandle console);

/// How size_console changes a console, in three steps that each keep the window inside
/// the buffer, whatever the sizes before: the window made no larger than the one the
/// screens need (it already fits the old buffer), the buffer sized, the window sized.
struct ConsoleSizePlan {
  int shrink_right;  // step 1: the window, at the top left
  int shrink_bottom;
  int buffer_columns;  // step 2
  int buffer_rows;
  int window_right;  // step 3
  int window_bottom;
  bool changes;  // false: window and buffer already are what the screens need
};

/// The plan for a buffer of buffer_* cells showing a window of window_* cells, on a
/// display allowing largest_* at most, for a window of `columns` by `rows`.
ConsoleSizePlan size_console_plan(int buffer_columns, int buffer_rows, int window_columns,
                                  int window_rows, int largest_columns, int largest_rows,
                                  int columns, int rows);

/// Shortens a description wider than 50 columns to its first 47 and "..." (a column
/// is a character; an East Asian wide one takes two), never cutting a character.
void truncate_description(std::string* text);

/// Shortens a text of 44 columns or more to its first 40 and "...".
void truncate_info(std::string* text);

/// `text` made printable (text_printable: texts from outside go into one-line cells, where
/// a control character would break the box or move the cursor) and padded with blanks
/// to `columns` display columns, as %-Ns pads ASCII: the frame after it stands where it
/// does for ASCII. A wider text is not cut.
std::string cell(const std::string& text, size_t columns);

/// `text` printable in exactly `columns` columns, for a field a router fills: padded with
/// blanks, or cut when wider (ending in "..." where the field has room for it), so the
/// frame after it stands where it always does.
std::string fixed_cell(const std::string& text, size_t columns);

/// The same, aligned right.
std::string fixed_cell_right(const std::string& text, size_t columns);

/// A port as shown: its number, or where the router's text names no port (`port` 0),
/// that text ("0" when it gave none).
std::string port_text(uint16_t port, const std::string& router_text);

/// `value` written with at least three digits, as %.3d writes it (048, 1000).
std::string three_digits(int value);

/// `value` after `left` blanks in a cell of `width` columns: a number longer than the
/// digits its cell was laid out for takes its room from the blanks after it, then from
/// those before it.
std::string number_cell(const std::string& value, size_t left, size_t width);

/// A framed row of `content` (a row without its closing bar): its trailing blanks made as
/// many as bring it to 69 columns, then the bar and the line end. A number in it longer
/// than three digits takes its room from those blanks.
std::string framed_row(const std::string& content);

/// Writes `text` (UTF-8) to standard output: the one place report text leaves the
/// program, so the platform decides how a console gets it.
void console_write(const std::string& text);

/// console_write of a printf-style format.
void console_printf(const char* format, ...) PW_PRINTF_FORMAT(1, 2);

/// The rule line: 70 equals signs.
void print_rule_line();

/// A title between two rule lines.
void print_boxed_title(const char* title_line);

/// The two-line highlight bar, after which the report colour is back.
void print_highlight_bar();

/// The status box of `status` with `message`: the status line (Syntax Error, Syntax Help,
/// or UPnP Router Error with the number in three digits) and the message row.
void print_status_box(Status status, const char* message);

/// A status message in its framed row; one wider than the row's 66 columns goes on in the
/// rows below, broken between words (a word wider than a row, where it must).
std::vector<std::string> message_rows(const std::string& message);
void print_message_rows(const std::string& message);

/// The end of a run's screens as `outcome` says: the status box (not for the silent
/// Failure and Success), the syntax and help screens for SyntaxError and Help, and the
/// closing frame, with the console's own colour back. The process ends after it
/// (app/main.cc), with the exit status the run gives.
void status_show(const Outcome& outcome);

#endif  // PORTWRANGLER_RENDER_CONSOLE_H_
