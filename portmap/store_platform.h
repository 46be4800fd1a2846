// The system's part of the store: where the state folder is, and a file its owner alone
// may read. store.cc alone calls these.
#ifndef PORTWRANGLER_PORTMAP_STORE_PLATFORM_H_
#define PORTWRANGLER_PORTMAP_STORE_PLATFORM_H_

#include <string>

/// The system's state folder for this program ("" when it names none).
std::string sys_state_folder();

/// Makes `folder` (and its parents) when missing, private to the owner where it is new.
bool sys_make_folder(const std::string& folder);

/// Writes `data` to a new file `path` that its owner alone may read.
bool sys_write_private(const std::string& path, const std::string& data);

/// Puts `from` in place of `to` in one step.
bool sys_replace(const std::string& from, const std::string& to);

#endif  // PORTWRANGLER_PORTMAP_STORE_PLATFORM_H_
