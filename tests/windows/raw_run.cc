// raw_run.exe: starts the program named by PW_RAW_PROGRAM (a Windows path) with the
// command line in PW_RAW_COMMAND_LINE exactly as it stands, through CreateProcessW, and
// ends with its exit status. Wine's own start of a program quotes every argument anew;
// this lets a test hand over the lines a Windows shell would. The program shares this
// one's console and standard handles.
//
// On a console, two more settings: PW_RAW_CODE_PAGE, the output code page the console
// has before the program starts (as a user's console might); PW_RAW_TERMINATE, when set,
// ends the program from outside after two seconds (TerminateProcess) and then prints the
// console's output code page and colour before the start and after the end, and the
// program's exit status: "console: code page 437 -> 437, colour 0x07 -> 0x4F; exit 0x9".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

std::vector<wchar_t> variable(const wchar_t* name) {
  std::vector<wchar_t> value(GetEnvironmentVariableW(name, nullptr, 0) + 1, L'\0');
  GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  return value;
}

WORD colour() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info);
  return info.wAttributes;
}

}  // namespace

int main() {
  std::vector<wchar_t> program = variable(L"PW_RAW_PROGRAM");
  std::vector<wchar_t> line = variable(L"PW_RAW_COMMAND_LINE");
  const unsigned code_page =
      static_cast<unsigned>(std::wcstoul(variable(L"PW_RAW_CODE_PAGE").data(), nullptr, 10));
  const bool terminate = variable(L"PW_RAW_TERMINATE")[0] != L'\0';
  if (code_page != 0) SetConsoleOutputCP(code_page);
  const UINT code_page_before = GetConsoleOutputCP();
  const WORD colour_before = colour();

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.data(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return 127;
  }
  if (terminate && WaitForSingleObject(process.hProcess, 2000) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 9);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 127;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (terminate) {
    std::printf("\nconsole: code page %u -> %u, colour 0x%02X -> 0x%02X; exit 0x%lX\n",
                code_page_before, GetConsoleOutputCP(), colour_before, colour(),
                static_cast<unsigned long>(status));
  }
  return static_cast<int>(status);
}
