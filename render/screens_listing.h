// The listing's screens: the entries read, the search box of a filtered listing, and the
// router's information and statistics of -stats. They read the listing's result and print.
#ifndef PORTWRANGLER_RENDER_SCREENS_LISTING_H_
#define PORTWRANGLER_RENDER_SCREENS_LISTING_H_

#include <string>
#include <vector>

#include "cli/records.h"
#include "cli/status.h"
#include "flows/listing.h"

/// One row of the search box: its label and the value as shown.
struct SearchRow {
  const char* label;
  std::string value;
};

/// The rows of the search box for the request's filter fields, in their order; none
/// without a filter. The ID shows with three digits, the status as Enabled or Disabled.
std::vector<SearchRow> listing_search_rows(const RequestRecord& request);

/// The screens of the listing command `code` for `result`, which ends as `outcome`
/// (listing_outcome): the entries read, and when it succeeded the search box and the
/// information of -stats (result.info).
void listing_show(int code, const RequestRecord& request, const ListingResult& result,
                  const Outcome& outcome);

#endif  // PORTWRANGLER_RENDER_SCREENS_LISTING_H_
