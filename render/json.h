// The JSON face of every flow: one document per run on standard output, built from the
// same plain results the screens show (nlohmann::json escapes every text; a byte that is
// not UTF-8 goes out as U+FFFD). The keep loop's events are one JSON object per line.
#ifndef PORTWRANGLER_RENDER_JSON_H_
#define PORTWRANGLER_RENDER_JSON_H_

#include <string>

#include "cli/options.h"
#include "cli/records.h"
#include "cli/status.h"
#include "flows/change.h"
#include "flows/diagnose.h"
#include "flows/listing.h"
#include "flows/pinhole.h"
#include "gateway/handle.h"

/// Writes the document of an add (json_add_document), of a removal, of the listing
/// command `code`. A failure to build one (memory) leaves a short one that still tells
/// the run's end.
void json_write_add(const RequestRecord& request, const GatewayHandle& gateway,
                    const AddResult& result, const Outcome& outcome);
void json_write_remove(const RequestRecord& request, const GatewayHandle& gateway,
                       const RemoveResult& result, const Outcome& outcome);
void json_write_listing(int code, const RequestRecord& request, const GatewayHandle& gateway,
                        const ListingResult& result, const Outcome& outcome);

/// Writes the document of a run that ended before any flow ran (or of -help), with
/// `detail` (what was wrong with the command line) when it is not empty.
void json_write_failure(const Outcome& outcome, const std::string& detail);

/// Writes the document of a diagnosis.
void json_write_diagnosis(const Diagnosis& diagnosis, const Outcome& outcome);

/// The name of a status in documents ("no_router").
const char* json_status_name(Status status);

/// The document of an add (also the keep loop's first event).
std::string json_add_document(const RequestRecord& request, const GatewayHandle& gateway,
                              const AddResult& result, const Outcome& outcome);

/// The document of a listing command `code`.
std::string json_listing_document(int code, const RequestRecord& request,
                                  const GatewayHandle& gateway, const ListingResult& result,
                                  const Outcome& outcome);

/// The document of a removal.
std::string json_remove_document(const RequestRecord& request, const GatewayHandle& gateway,
                                 const RemoveResult& result, const Outcome& outcome);

/// One event of the keep loop as a line of JSON: its UTC `time`, `event` and `text`, the
/// entry held (with `lease_seconds` when it is known, -1 when not) and `error` (the
/// router's answer) and `external_address` (the router's new one, of a `changed` event)
/// when they are not empty; `permanent` (true, with lease_seconds 0) where the router
/// holds the entry with no lease.
std::string json_event_line(const std::string& time, const std::string& event,
                            const std::string& text, const MappingRequest& held,
                            int64_t lease_seconds, const std::string& error,
                            const std::string& external_address = std::string(),
                            bool permanent = false);

/// The document of a pinhole command.
std::string json_pinhole_document(const PinholeResult& result, const Outcome& outcome);

/// One event of a held pinhole as a line of JSON, as json_event_line; through PCP (`via`)
/// its ID is null.
std::string json_pinhole_event_line(const std::string& time, const std::string& event,
                                    const std::string& text, uint16_t id,
                                    const PinholeRequest& held, const std::string& error,
                                    MapVia via = MapVia::kUpnp);

#endif  // PORTWRANGLER_RENDER_JSON_H_
