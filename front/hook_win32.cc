// A hook's process on Windows: CreateProcessW with the words quoted as the C runtime
// reads them, the environment block with the event added, its output through one pipe,
// stopped after the bound (the process this run started, by its handle).
#include <windows.h>

#include <string>

#include "base/wide.h"
#include "front/hook.h"

namespace {

/// One word as CommandLineToArgvW and the C runtime read it back.
void append_quoted(const std::wstring& word, std::wstring* line) {
  if (!line->empty()) *line += L' ';
  if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += word;
    return;
  }
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, L'\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

/// This process's environment with `added` set over it, as CreateProcessW takes it.
std::wstring environment_block(const HookEnvironment& added) {
  std::wstring block;
  wchar_t* own = GetEnvironmentStringsW();
  for (const wchar_t* at = own; at != nullptr && *at != L'\0'; at += wcslen(at) + 1) {
    const std::wstring entry = at;
    bool replaced = false;
    for (const auto& name_value : added) {
      const std::wstring name = wide_of(name_value.first) + L"=";
      replaced = replaced || _wcsnicmp(entry.c_str(), name.c_str(), name.size()) == 0;
    }
    if (!replaced) block += entry + L'\0';
  }
  if (own != nullptr) FreeEnvironmentStringsW(own);
  for (const auto& name_value : added) {
    block += wide_of(name_value.first) + L"=" + wide_of(name_value.second) + L'\0';
  }
  block += L'\0';
  return block;
}

}  // namespace

HookResult hook_platform_run(const std::vector<std::string>& argv,
                             const HookEnvironment& environment, int timeout_ms,
                             const std::function<void(const char*, size_t)>& bytes) {
  HookResult result;
  std::wstring line;
  for (const std::string& word : argv) append_quoted(wide_of(word), &line);
  std::wstring block = environment_block(environment);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    result.problem = "no pipe";
    return result;
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW start{};
  start.cb = sizeof(start);
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = INVALID_HANDLE_VALUE;
  start.hStdOutput = write_end;
  start.hStdError = write_end;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, &block[0],
                                      nullptr, &start, &process);
  CloseHandle(write_end);
  if (!started) {
    result.problem = "cannot be started";
    CloseHandle(read_end);
    return result;
  }
  CloseHandle(process.hThread);
  result.started = true;
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &waiting, nullptr)) break;  // closed
    if (waiting > 0) {
      char chunk[4096];
      DWORD got = 0;
      if (!ReadFile(read_end, chunk, sizeof(chunk), &got, nullptr) || got == 0) break;
      bytes(chunk, got);
      continue;
    }
    if (GetTickCount64() >= end) {
      result.timed_out = true;
      break;
    }
    // Nothing to read yet: a short wait on the process keeps this from spinning.
    // Ended: what it wrote last is still read, until the pipe closes (a process it
    // handed the pipe to is bounded too).
    if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) Sleep(20);
  }
  CloseHandle(read_end);
  const ULONGLONG now = GetTickCount64();
  const DWORD left = result.timed_out || now >= end ? 0 : static_cast<DWORD>(end - now);
  if (WaitForSingleObject(process.hProcess, left) != WAIT_OBJECT_0) {
    result.timed_out = true;
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
  } else {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exit_code = static_cast<int>(code);
  }
  CloseHandle(process.hProcess);
  return result;
}
