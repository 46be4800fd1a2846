// The console operations with the Windows console calls. None of their results is
// tested: a console that refuses a size or a colour shows the same text, and a
// redirected output (no console at all) simply gets the plain text.
// shellapi.h needs the types of windows.h.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "front/console.h"

namespace {

HANDLE handle_of(ConsoleHandle console) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(console));
}

UINT original_output_code_page = 0;

void restore_output_code_page() {
  std::fflush(stdout);
  if (original_output_code_page != 0) SetConsoleOutputCP(original_output_code_page);
}

/// UTF-8 of a text the system hands over in UTF-16.
std::string utf8_of(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

}  // namespace

void console_write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

ConsoleHandle console_output() {
  return static_cast<ConsoleHandle>(reinterpret_cast<intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE)));
}

void console_start(int* argc, char*** argv) {
  // Reports are UTF-8 (router texts are); the console shows them so for this run, and
  // gets its own code page back when the process ends.
  UINT current = GetConsoleOutputCP();
  if (current != 0 && current != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    original_output_code_page = current;
    std::atexit(restore_output_code_page);
  }
  // The C runtime's argv is in the ANSI code page, which cannot hold every character
  // typed; the wide command line can. The texts live as long as the process.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr || count != *argc) {
    if (wide != nullptr) LocalFree(wide);
    return;  // keep what the runtime gave
  }
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  texts.clear();
  for (int i = 0; i < count; ++i) texts.push_back(utf8_of(wide[i]));
  LocalFree(wide);
  pointers.clear();
  for (std::string& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  *argv = pointers.data();
}

void set_text_attribute(uint16_t attribute) {
  std::fflush(stdout);  // text already printed keeps the colour it was printed in
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), attribute);
}

void size_console(ConsoleHandle console, int16_t columns, int16_t rows) {
  HANDLE handle = handle_of(console);
  CONSOLE_SCREEN_BUFFER_INFO info{};  // stays zero where there is no console to ask
  GetConsoleScreenBufferInfo(handle, &info);
  COORD largest = GetLargestConsoleWindowSize(handle);
  ConsoleSizePlan plan =
      size_console_plan(info.dwSize.X, info.dwSize.Y, largest.X, largest.Y, columns, rows);
  SMALL_RECT window{0, 0, static_cast<SHORT>(plan.window_right),
                    static_cast<SHORT>(plan.window_bottom)};
  COORD buffer{static_cast<SHORT>(plan.buffer_columns), static_cast<SHORT>(plan.buffer_rows)};
  // A window may never be larger than its buffer: which change goes first depends on
  // whether the buffer shrinks or grows.
  if (plan.order > 0) {
    SetConsoleWindowInfo(handle, TRUE, &window);
    SetConsoleScreenBufferSize(handle, buffer);
  } else if (plan.order < 0) {
    SetConsoleScreenBufferSize(handle, buffer);
    SetConsoleWindowInfo(handle, TRUE, &window);
  }
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
