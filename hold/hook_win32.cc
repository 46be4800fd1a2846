// A hook's process on Windows: CreateProcessW with the words quoted as the C runtime
// reads them, the environment block with the event added, and only its pipe and standard
// input handed to it (a handle list); in a job that ends everything in it once closed, at
// the bound or once the hook is done; its output through one pipe.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/limits.h"
#include "base/wide.h"
#include "hold/hook.h"

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

/// A job whose processes end when it is closed; null when none can be made.
HANDLE kill_on_close_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

/// Starts the hook with `input` (may be invalid) and `output` the only handles it
/// inherits, suspended until it is in `job` (when there is one).
bool start(std::wstring* line, std::wstring* block, HANDLE input, HANDLE output, HANDLE job,
           PROCESS_INFORMATION* process) {
  HANDLE inherited[2] = {output, input};
  const DWORD count = input != INVALID_HANDLE_VALUE ? 2 : 1;
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
  bool started = false;
  if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                count * sizeof(HANDLE), nullptr, nullptr)) {
    STARTUPINFOEXW start{};
    start.StartupInfo.cb = sizeof(start);
    start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    start.StartupInfo.hStdInput = input != INVALID_HANDLE_VALUE ? input : nullptr;
    start.StartupInfo.hStdOutput = output;
    start.StartupInfo.hStdError = output;
    start.lpAttributeList = list;
    started = CreateProcessW(nullptr, &(*line)[0], nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED |
                                 EXTENDED_STARTUPINFO_PRESENT,
                             &(*block)[0], nullptr, &start.StartupInfo, process) != 0;
  }
  DeleteProcThreadAttributeList(list);
  if (!started) return false;
  // Outside a job (one this program runs in may forbid another) it is ended alone.
  if (job != nullptr) AssignProcessToJobObject(job, process->hProcess);
  ResumeThread(process->hThread);
  CloseHandle(process->hThread);
  return true;
}

/// Hands the hook's output to `bytes` until the hook has exited (then kHookDrainMs more
/// while something it left holds the pipe), or the bound, or a cancel. True once it
/// exited, its exit status in `*result`.
bool follow(HANDLE process, HANDLE read_end, int timeout_ms,
            const std::function<void(const char*, size_t)>& bytes, const std::atomic<bool>* cancel,
            HookResult* result) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  ULONGLONG drained = end;
  bool open = true;
  bool exited = false;
  for (;;) {
    const bool cancelled = cancel != nullptr && cancel->load();
    if (exited && (!open || cancelled || GetTickCount64() >= drained)) break;
    if (!exited && (cancelled || GetTickCount64() >= end)) {
      (cancelled ? result->cancelled : result->timed_out) = true;
      return false;
    }
    DWORD waiting = 0;
    if (open && !PeekNamedPipe(read_end, nullptr, 0, nullptr, &waiting, nullptr)) open = false;
    if (open && waiting > 0) {
      char chunk[4096];
      DWORD got = 0;
      if (!ReadFile(read_end, chunk, sizeof(chunk), &got, nullptr) || got == 0) {
        open = false;
      } else {
        bytes(chunk, got);
      }
      continue;
    }
    // Nothing to read yet: a short wait on the process keeps this from spinning.
    if (exited) {
      Sleep(20);
    } else if (WaitForSingleObject(process, 20) == WAIT_OBJECT_0) {
      exited = true;
      drained = std::min(end, GetTickCount64() + kHookDrainMs);
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  result->exit_code = static_cast<int>(code);
  return true;
}

}  // namespace

HookResult hook_platform_run(const std::vector<std::string>& argv,
                             const HookEnvironment& environment, int timeout_ms,
                             const std::function<void(const char*, size_t)>& bytes,
                             const std::atomic<bool>* cancel) {
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
  const HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr);
  const HANDLE job = kill_on_close_job();
  PROCESS_INFORMATION process{};
  const bool started = start(&line, &block, input, write_end, job, &process);
  CloseHandle(write_end);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (started) {
    result.started = true;
    if (!follow(process.hProcess, read_end, timeout_ms, bytes, cancel, &result)) {
      if (job != nullptr) TerminateJobObject(job, 1);
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hProcess);
  } else {
    result.problem = "cannot be started";
  }
  CloseHandle(read_end);
  // Whatever the hook left running ends with it.
  if (job != nullptr) CloseHandle(job);
  return result;
}
