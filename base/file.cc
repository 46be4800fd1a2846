#include "base/file.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "base/file_platform.h"
#include "base/limits.h"
#include "base/random.h"

namespace {

/// Names tried for the new file before giving up: a taken one is another writer's (or
/// something planted), never opened.
constexpr int kAsideTries = 16;

bool fail(std::string* problem, const std::string& text) {
  if (problem != nullptr) *problem = text;
  return false;
}

/// A name beside `path` no other writer picks: random, else the clock and a count.
std::string aside_name(const std::string& path) {
  unsigned char bytes[8];
  if (!random_bytes(bytes, sizeof bytes)) {
    static std::atomic<unsigned long long> count{0};
    const unsigned long long now = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    const unsigned long long mixed = now * 0x9e3779b97f4a7c15ULL + ++count;
    for (size_t i = 0; i < sizeof bytes; ++i)
      bytes[i] = static_cast<unsigned char>(mixed >> (8 * i));
  }
  char hex[sizeof bytes * 2 + 1];
  for (size_t i = 0; i < sizeof bytes; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  return path + ".new-" + hex;
}

bool rename_over(const std::string& from, const std::string& to) {
  for (int tries = 1;; ++tries) {
    const FsRename done = fs_rename(from, to);
    if (done == FsRename::kOk) return true;
    if (done == FsRename::kFailed || tries >= kReplaceTries) return false;
    fs_pause_ms(kReplacePauseMs);
  }
}

}  // namespace

bool file_replace(const std::string& path, const std::string& text, std::string* problem,
                  FileSync sync) {
  std::string aside;
  long long handle = -1;
  for (int tries = 0; tries < kAsideTries && handle < 0; ++tries) {
    aside = aside_name(path);
    handle = fs_create_new(aside);
    if (handle < 0 && !fs_error_exists()) break;
  }
  if (handle < 0) return fail(problem, aside + ": cannot be made: " + fs_error_text());
  const bool written = fs_write_all(handle, text);
  if (!written) {
    const std::string why = fs_error_text();
    fs_close(handle);
    fs_remove(aside);
    return fail(problem, aside + ": cannot be written: " + why);
  }
  if (!fs_sync_close(handle, sync == FileSync::kToDisk)) {
    fs_remove(aside);
    return fail(problem, aside + ": cannot be written to disk: " + fs_error_text());
  }
  if (!rename_over(aside, path)) {
    const std::string why = fs_error_text();
    fs_remove(aside);
    return fail(problem, path + ": cannot be replaced: " + why);
  }
  return true;
}

FileRead file_read(const std::string& path, size_t cap, std::string* text, std::string* problem) {
  text->clear();
  const long long handle = fs_open_read(path);
  if (handle < 0) {
    const bool missing = fs_error_missing();
    fail(problem, path + ": cannot be read: " + fs_error_text());
    return missing ? FileRead::kMissing : FileRead::kFailed;
  }
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    const long long got = fs_read(handle, chunk.data(), chunk.size());
    if (got < 0) {
      fail(problem, path + ": cannot be read: " + fs_error_text());
      fs_close(handle);
      text->clear();
      return FileRead::kFailed;
    }
    if (got == 0) break;
    if (text->size() + static_cast<size_t>(got) > cap) {
      fs_close(handle);
      text->clear();
      fail(problem, path + ": longer than " + std::to_string(cap) + " bytes");
      return FileRead::kTooLong;
    }
    text->append(chunk.data(), static_cast<size_t>(got));
  }
  fs_close(handle);
  return FileRead::kOk;
}

std::string file_stamp(const std::string& path) {
  return fs_stamp(path);
}

bool folder_make_private(const std::string& folder, std::string* problem) {
  if (!fs_make_folders(folder)) {
    return fail(problem, folder + ": cannot be made: " + fs_error_text());
  }
  const FsFolder facts = fs_folder(folder);
  if (!facts.found || !facts.is_folder) {
    return fail(problem, folder + ": not a folder");
  }
  if (!facts.owner_is_user) {
    return fail(problem, folder + ": owned by " + facts.owner +
                             ", not this user: another user could change what it holds");
  }
  if (facts.others_may_write) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", facts.mode);
    return fail(problem, folder + ": its group or other users may write it (mode " + mode +
                             "): another user could change what it holds");
  }
  return true;
}

FileLock::~FileLock() {
  if (handle_ >= 0) fs_unlock(handle_);
}

bool FileLock::take(const std::string& path, std::string* problem) {
  if (handle_ >= 0) return true;
  handle_ = fs_lock(path);
  if (handle_ < 0) return fail(problem, path + ": cannot be locked: " + fs_error_text());
  return true;
}
