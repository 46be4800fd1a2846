// base/file.h's system calls on Windows: UTF-16 paths from the program's UTF-8 ones.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "base/file_platform.h"
#include "base/wide.h"

namespace {

HANDLE handle_of(long long handle) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

long long number_of(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE
             ? -1
             : static_cast<long long>(reinterpret_cast<intptr_t>(handle));
}

}  // namespace

std::string fs_error_text() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD size = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = size > 0 ? utf8_of(text) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
    out.pop_back();
  }
  SetLastError(code);
  return out;
}

bool fs_error_exists() {
  const DWORD code = GetLastError();
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

bool fs_error_missing() {
  const DWORD code = GetLastError();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// The folder under the user's profile is the user's alone already: no ACL of its own.
long long fs_create_new(const std::string& path) {
  return number_of(CreateFileW(wide_of(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool fs_write_all(long long handle, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
    if (!WriteFile(handle_of(handle), data.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
      return false;
    }
    done += wrote;
  }
  return true;
}

bool fs_sync_close(long long handle, bool to_disk) {
  const bool flushed = !to_disk || FlushFileBuffers(handle_of(handle)) != 0;
  const DWORD saved = GetLastError();
  const bool closed = CloseHandle(handle_of(handle)) != 0;
  if (!flushed) SetLastError(saved);
  return flushed && closed;
}

long long fs_open_read(const std::string& path) {
  return number_of(CreateFileW(wide_of(path).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

long long fs_read(long long handle, char* buffer, size_t size) {
  DWORD got = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
  if (!ReadFile(handle_of(handle), buffer, chunk, &got, nullptr)) return -1;
  return got;
}

void fs_close(long long handle) {
  CloseHandle(handle_of(handle));
}

FsRename fs_rename(const std::string& from, const std::string& to) {
  if (MoveFileExW(wide_of(from).c_str(), wide_of(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return FsRename::kOk;
  }
  const DWORD code = GetLastError();
  return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ? FsRename::kBusy
                                                                        : FsRename::kFailed;
}

void fs_remove(const std::string& path) {
  const DWORD saved = GetLastError();
  DeleteFileW(wide_of(path).c_str());
  SetLastError(saved);
}

void fs_pause_ms(int ms) {
  Sleep(static_cast<DWORD>(ms));
}

std::string fs_stamp(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide_of(path).c_str(), GetFileExInfoStandard, &data)) {
    return std::string();
  }
  return std::to_string(data.nFileSizeHigh) + ":" + std::to_string(data.nFileSizeLow) + " " +
         std::to_string(data.ftLastWriteTime.dwHighDateTime) + ":" +
         std::to_string(data.ftLastWriteTime.dwLowDateTime);
}

bool fs_make_folders(const std::string& folder) {
  const std::wstring wide = wide_of(folder);
  for (size_t at = 3; at <= wide.size(); ++at) {
    if (at != wide.size() && wide[at] != L'\\' && wide[at] != L'/') continue;
    const std::wstring part = wide.substr(0, at);
    if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return true;
}

FsFolder fs_folder(const std::string& folder) {
  FsFolder facts;
  const DWORD attributes = GetFileAttributesW(wide_of(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return facts;
  facts.found = true;
  facts.is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.owner_is_user = true;  // see fs_create_new
  return facts;
}

long long fs_lock(const std::string& path) {
  const HANDLE file = CreateFileW(wide_of(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED at{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    const DWORD saved = GetLastError();
    CloseHandle(file);
    SetLastError(saved);
    return -1;
  }
  return number_of(file);
}

void fs_unlock(long long handle) {
  CloseHandle(handle_of(handle));  // the lock goes with the handle
}
