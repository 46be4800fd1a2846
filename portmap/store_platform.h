// The system's part of the store: where the state folder is. store.cc alone calls it.
#ifndef PORTWRANGLER_PORTMAP_STORE_PLATFORM_H_
#define PORTWRANGLER_PORTMAP_STORE_PLATFORM_H_

#include <string>

/// $PORTWRANGLER_STATE_DIR when set, else the system's state folder for this program
/// ("" when it names none).
std::string sys_state_folder();

#endif  // PORTWRANGLER_PORTMAP_STORE_PLATFORM_H_
