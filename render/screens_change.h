// The add's and the removal's screens: the status box of a failure, the outcome box with
// the entry, and on standard error what the router said of a refusal. They read the
// flows' results and print; how the run ends is the flows' (add_outcome, remove_outcome).
#ifndef PORTWRANGLER_RENDER_SCREENS_CHANGE_H_
#define PORTWRANGLER_RENDER_SCREENS_CHANGE_H_

#include <string>

#include "cli/records.h"
#include "flows/change.h"

/// The block an added or removed entry shows: its description, then its protocol,
/// client and both ports in one row.
void print_entry_block(const std::string& description, const std::string& protocol,
                       const std::string& client, const std::string& internal_port,
                       const std::string& external_port);

/// The title line of the add's outcome box.
const char* add_outcome_title(bool failed);

/// The title line of a change's outcome box when its answer was lost and the table could
/// not tell what became of it.
constexpr char kUnconfirmedTitle[] =
    "| [Change Not Confirmed]   -   UPnP Router - Port Forwarding         |\n";

/// The title line of the removal's outcome box: with the entry's ID (`id`, 1-based)
/// when the search found it.
std::string remove_outcome_title(bool found, bool failed, int id);

/// The add's screens for `result`: the status box of a failure, the outcome box, the
/// lease asked when --lease was given, the clashing entry.
void add_show(const RequestRecord& request, const AddResult& result);

/// The removal's screens for `result`: the status box of a failure, the outcome box with
/// the entry the search found (or the external port alone).
void remove_show(const RequestRecord& request, const RemoveResult& result);

#endif  // PORTWRANGLER_RENDER_SCREENS_CHANGE_H_
