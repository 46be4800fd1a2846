// The status file on Windows: written aside, flushed, and moved over the old one by
// MoveFileExW, which replaces it in one step (never a removal first, which would leave a
// moment with no file). Paths are UTF-8 to the program and UTF-16 to Windows.
#include <windows.h>

#include <string>

#include "base/wide.h"
#include "front/file.h"

bool file_replace(const std::string& path, const std::string& text) {
  const std::wstring target = wide_of(path);
  const std::wstring aside = target + L".new";
  const HANDLE file = CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD wrote = 0;
  bool written = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
                 wrote == text.size() && FlushFileBuffers(file);
  written = CloseHandle(file) && written;
  if (written && MoveFileExW(aside.c_str(), target.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileW(aside.c_str());
  return false;
}

std::string file_stamp(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide_of(path).c_str(), GetFileExInfoStandard, &data)) {
    return std::string();
  }
  return std::to_string(data.nFileSizeHigh) + ":" + std::to_string(data.nFileSizeLow) + " " +
         std::to_string(data.ftLastWriteTime.dwHighDateTime) + ":" +
         std::to_string(data.ftLastWriteTime.dwLowDateTime);
}
