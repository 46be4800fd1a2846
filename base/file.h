// Files the program writes and reads back: one way to replace a file, so that a reader
// finds the old text or the new one and never a part, and no name another user could
// plant (a symlink at a fixed temporary name) is ever written through; one capped read;
// the folder a state lives in, refused when another user could write it; and a lock
// around a read-modify-write. The system calls are in file_posix.cc and file_win32.cc.
// Paths are UTF-8 everywhere; on Windows they go to the system as UTF-16.
#ifndef PORTWRANGLER_BASE_FILE_H_
#define PORTWRANGLER_BASE_FILE_H_

#include <cstddef>
#include <string>

/// Whether a replacement waits for the disk: what a later run needs (the state table, the
/// secret) does; a snapshot rewritten at every event (the status file) need not, and must
/// not hold the holding loop up for the disk's sake.
enum class FileSync { kToDisk, kCached };

/// Writes `text` to a new file of a name no other has, beside `path` (readable by its
/// owner alone), flushes it to disk (with kToDisk) and renames it over `path`. False, with
/// the reason in `*problem` and nothing left beside, when any step failed. On Windows a
/// rename a reader holds up is tried again for a short while.
bool file_replace(const std::string& path, const std::string& text, std::string* problem = nullptr,
                  FileSync sync = FileSync::kToDisk);

/// What a capped read came to.
enum class FileRead {
  kOk,
  kMissing,  // no file of that name
  kTooLong,  // over the cap: nothing taken, not even a part
  kFailed,   // it exists but cannot be read
};

/// Reads `path` whole into `*text` when it holds `cap` bytes at most; otherwise the
/// reason in `*problem` (the path named).
FileRead file_read(const std::string& path, size_t cap, std::string* text, std::string* problem);

/// The size and the time of the last change of `path`, as one text; empty when it cannot
/// be read. Two stamps that differ tell a change.
std::string file_stamp(const std::string& path);

/// Makes `folder` (and its parents) where missing, private where new, and checks that
/// no other user can write it: on POSIX its owner must be this process's user and it
/// must have no group or other write bit (as ssh asks of ~/.ssh). False with the reason.
/// On Windows the folder under the user's profile is the user's alone already.
bool folder_make_private(const std::string& folder, std::string* problem);

/// An exclusive lock on the file `path` (made where missing), held until destroyed:
/// another process's lock on it waits. Threads of one process exclude each other too.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  /// Waits for the lock; false with the reason when it cannot be had.
  bool take(const std::string& path, std::string* problem);

 private:
  long long handle_ = -1;
};

#endif  // PORTWRANGLER_BASE_FILE_H_
