// raw_run.exe: starts the program named by PW_RAW_PROGRAM (a Windows path) with the
// command line in PW_RAW_COMMAND_LINE exactly as it stands, through CreateProcessW, and
// ends with its exit status. Wine's own start of a program quotes every argument anew;
// this lets a test hand over the lines a Windows shell would. The program shares this
// one's console and standard handles.
//
// On a console, two more settings: PW_RAW_CODE_PAGE, the output code page the console
// has before the program starts (as a user's console might); PW_RAW_TERMINATE, when set,
// names a file (a Windows path): once it exists (looked for every 50 ms, for at most
// 30 s) the program is ended from outside (TerminateProcess), and then the console's
// output code page and colour before the start and after the end are printed, and the
// program's exit status: "console: code page 437 -> 437, colour 0x07 -> 0x4F; exit 0x9".
// The test makes the file when the program is seen at a point of its run, which a fixed
// time cannot tell on a loaded machine.
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
  std::vector<wchar_t> terminate_when = variable(L"PW_RAW_TERMINATE");
  const bool terminate = terminate_when[0] != L'\0';
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
  if (terminate) {
    for (int look = 0; look < 600; ++look) {  // bounded: 30 s
      if (GetFileAttributesW(terminate_when.data()) != INVALID_FILE_ATTRIBUTES) break;
      if (WaitForSingleObject(process.hProcess, 50) != WAIT_TIMEOUT) break;
    }
    TerminateProcess(process.hProcess, 9);  // does nothing to a process already ended
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
