// The system's part of base/file.h: one call each, no policy (file.cc decides the names,
// the retries and what a folder must be). file.cc alone calls these.
#ifndef PORTWRANGLER_BASE_FILE_PLATFORM_H_
#define PORTWRANGLER_BASE_FILE_PLATFORM_H_

#include <cstddef>
#include <string>

/// What the last failed call below said, as a text ("Permission denied").
std::string fs_error_text();

/// Whether the last failed call failed because the name was taken.
bool fs_error_exists();

/// Whether the last failed call failed because there is no such file.
bool fs_error_missing();

/// A new file `path`, readable by its owner alone, opened for writing: never one that
/// exists, never through a symlink (O_EXCL | O_NOFOLLOW; CREATE_NEW). -1 on failure.
long long fs_create_new(const std::string& path);

/// Writes all of `data`; false when the system took less.
bool fs_write_all(long long handle, const std::string& data);

/// Flushes the file to disk (with `to_disk`) and closes it; false when either failed
/// (closed anyway).
bool fs_sync_close(long long handle, bool to_disk);

/// An existing file `path` opened for reading; -1 on failure.
long long fs_open_read(const std::string& path);

/// Up to `size` bytes into `buffer`: how many, 0 at the end, -1 on failure.
long long fs_read(long long handle, char* buffer, size_t size);

void fs_close(long long handle);

/// How a rename came out: kBusy where another process holds the target open (Windows).
enum class FsRename { kOk, kBusy, kFailed };

/// Puts `from` in place of `to` in one step.
FsRename fs_rename(const std::string& from, const std::string& to);

void fs_remove(const std::string& path);

void fs_pause_ms(int ms);

std::string fs_stamp(const std::string& path);

/// Makes `folder` and its missing parents (the last one private); false on failure.
bool fs_make_folders(const std::string& folder);

/// What the system says of a folder's owner and who may write it.
struct FsFolder {
  bool found = false;
  bool is_folder = false;
  bool owner_is_user = false;     // owned by this process's (effective) user
  bool others_may_write = false;  // a group or other write bit
  std::string owner;              // its owner, as a text for the error
  unsigned mode = 0;
};
FsFolder fs_folder(const std::string& folder);

/// An exclusive lock on `path` (made where missing): waits for it. -1 on failure.
long long fs_lock(const std::string& path);
void fs_unlock(long long handle);

#endif  // PORTWRANGLER_BASE_FILE_PLATFORM_H_
