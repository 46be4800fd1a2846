// The files a held set keeps and watches: its status file, replaced whole so that a
// reader finds the old document or the new one, never a part; and what tells that its
// own file changed (file_posix.cc, file_win32.cc).
#ifndef PORTWRANGLER_FRONT_FILE_H_
#define PORTWRANGLER_FRONT_FILE_H_

#include <string>

/// Writes `text` beside `path` (its name and ".new"), then puts it in place of `path` in
/// one step; false, with nothing left beside it, when either failed.
bool file_replace(const std::string& path, const std::string& text);

/// The size and the time of the last change of `path`, as one text; empty when it cannot
/// be read. Two stamps that differ tell a change.
std::string file_stamp(const std::string& path);

#endif  // PORTWRANGLER_FRONT_FILE_H_
