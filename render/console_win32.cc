// The console operations with the Windows console calls. None of their results is
// tested: a console that refuses a size or a colour shows the same text, and a
// redirected output (no console at all) simply gets the plain text.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/wide.h"
#include "render/console.h"

// The C runtime's split of the wide command line: the call its wide entry point makes.
struct CrtStartupInfo {
  int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int globbing,
                              CrtStartupInfo* info);
// The runtime's globbing choice and allocation mode, as its own start-up passes them.
extern "C" int _dowildcard;
extern "C" int _newmode;

namespace {

HANDLE handle_of(ConsoleHandle console) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(console));
}

/// 1 when standard output is a console, 0 when it is redirected; -1 until asked.
int output_is_console = -1;

/// The colour the console had before the run, given back at its end, normal or from
/// outside (Ctrl-Break, the window closed). The code page is never changed.
WORD found_attribute = 0;
bool attribute_found = false;

/// The console handler runs on a thread of its own: the colour is set under this lock,
/// and once the handler gave the colour back no other is set.
SRWLOCK colour_lock = SRWLOCK_INIT;
bool ending = false;

BOOL WINAPI give_back_colour(DWORD event) {
  if (event != CTRL_C_EVENT && attribute_found) {
    AcquireSRWLockExclusive(&colour_lock);
    ending = true;
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), found_attribute);
    ReleaseSRWLockExclusive(&colour_lock);
  }
  return FALSE;  // the run ends as it would have
}

/// `text` (UTF-8) to the console as UTF-16, whatever its code page.
void write_console(HANDLE console, const std::string& text) {
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (units <= 0) return;
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], units);
  const wchar_t* at = wide.data();
  DWORD left = static_cast<DWORD>(units), written = 0;
  while (left > 0 && WriteConsoleW(console, at, left, &written, nullptr) && written > 0) {
    at += written, left -= written;
  }
}

}  // namespace

void console_write(const std::string& text) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output_is_console < 0) {
    DWORD mode = 0;
    output_is_console = GetConsoleMode(output, &mode) ? 1 : 0;
  }
  if (output_is_console == 1) {
    write_console(output, text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

ConsoleHandle console_output() {
  return static_cast<ConsoleHandle>(reinterpret_cast<intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE)));
}

void console_start(int* argc, char*** argv) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    found_attribute = info.wAttributes;
    attribute_found = true;
    SetConsoleCtrlHandler(give_back_colour, TRUE);
  }
  // The runtime's argv holds the ANSI code page's version of each argument, where a
  // character it lacks is lost; its wide argv, split by the same rules, holds every
  // character typed. The texts live as long as the process.
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  CrtStartupInfo startup{_newmode};
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  texts.clear();
  if (__wgetmainargs(&count, &wide, &environment, _dowildcard, &startup) == 0 && wide) {
    for (int i = 0; i < count; ++i) texts.push_back(utf8_of(wide[i]));
  }
  // Where the runtime cannot split it (out of memory) the run gets no argument rather
  // than lossy ones, and shows the syntax screen.
  if (texts.empty()) texts.emplace_back();
  pointers.clear();
  for (std::string& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  *argc = static_cast<int>(texts.size());
  *argv = pointers.data();
}

void set_text_attribute(uint16_t attribute) {
  std::fflush(stdout);  // text already printed keeps the colour it was printed in
  AcquireSRWLockExclusive(&colour_lock);
  if (!ending) {
    const WORD shown = attribute == kColourDefault && attribute_found ? found_attribute : attribute;
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), shown);
  }
  ReleaseSRWLockExclusive(&colour_lock);
}

void size_console(ConsoleHandle console, int16_t columns, int16_t rows) {
  HANDLE handle = handle_of(console);
  CONSOLE_SCREEN_BUFFER_INFO info{};  // stays zero where there is no console to ask
  GetConsoleScreenBufferInfo(handle, &info);
  COORD largest = GetLargestConsoleWindowSize(handle);
  const int window_columns = info.srWindow.Right - info.srWindow.Left + 1;
  const int window_rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  ConsoleSizePlan plan = size_console_plan(info.dwSize.X, info.dwSize.Y, window_columns,
                                           window_rows, largest.X, largest.Y, columns, rows);
  if (!plan.changes) return;
  // A window may never reach past its buffer: it shrinks first to fit both buffers.
  SMALL_RECT shrunk{0, 0, static_cast<SHORT>(plan.shrink_right),
                    static_cast<SHORT>(plan.shrink_bottom)};
  SMALL_RECT window{0, 0, static_cast<SHORT>(plan.window_right),
                    static_cast<SHORT>(plan.window_bottom)};
  COORD buffer{static_cast<SHORT>(plan.buffer_columns), static_cast<SHORT>(plan.buffer_rows)};
  SetConsoleWindowInfo(handle, TRUE, &shrunk);
  SetConsoleScreenBufferSize(handle, buffer);
  SetConsoleWindowInfo(handle, TRUE, &window);
}

void clear_screen(ConsoleHandle console) {
  HANDLE handle = handle_of(console);
  CONSOLE_SCREEN_BUFFER_INFO info{};  // no console: no cells, and every call fails
  GetConsoleScreenBufferInfo(handle, &info);
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  const COORD home{0, 0};
  DWORD written = 0;
  FillConsoleOutputCharacterA(handle, ' ', cells, home, &written);
  GetConsoleScreenBufferInfo(handle, &info);
  FillConsoleOutputAttribute(handle, info.wAttributes, cells, home, &written);
  SetConsoleCursorPosition(handle, home);
}
