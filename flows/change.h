// The add and remove flows: each walks the table first (unless "-q" was given), then
// changes it with one action, and returns what it came to (AddResult, RemoveResult),
// which the screens and the JSON document show, and how the run ends. Their rules are
// plain functions of the request and an entry, below the flows themselves.
#ifndef PORTWRANGLER_FLOWS_CHANGE_H_
#define PORTWRANGLER_FLOWS_CHANGE_H_

#include <string>
#include <vector>

#include "cli/records.h"
#include "cli/status.h"
#include "gateway/handle.h"
#include "gateway/mapping.h"

/// What an add came to: the plain result that the screens and the JSON document show.
struct AddResult {
  MappingRequest mapping;  // as sent (or as it would have been), its client filled in
  bool clash = false;      // the check found `clash_entry`, of ID `clash_id`
  MappingEntry clash_entry;
  int clash_id = 0;
  bool adopted = false;      // the check found our own entry and let the add renew it
  bool unchecked = false;    // the check could not read the table whole: no add was sent
  Error error = Error::kOk;  // the add's answer
  bool permanent = false;    // a lease was asked, the router takes none: added for good
  bool lease_read = false;   // the entry was read back after the add ...
  MappingEntry granted;      // ... and this is what the router holds
  uint16_t asked_port = 0;   // the external port asked; the router's choice may differ
  // The check read the table whole (`table_seen`), and these are the external ports of
  // the entries of ours it saw on any port (ours_on_any_port).
  bool table_seen = false;
  std::vector<uint16_t> ours_before;
  // The add's answer was lost after the request went out: the entry was read back to
  // tell (`error` is then kOk when it is there and ours), or could not be (`unknown`).
  bool verified = false;
  bool unknown = false;
  RouterFault fault;   // the router's own words for its refusal, where it named one
  bool named = false;  // the router refused an empty description: added under our name
  bool added() const { return !clash && !unchecked && !unknown && error == Error::kOk; }
};

/// What the table holds for a forwarding's protocol and external port.
enum class ReadBack {
  kOurs,     // an entry with the forwarding's client and internal port
  kOther,    // another client's, or another port's
  kAbsent,   // none
  kUnknown,  // the table could not be read
};

/// Which of `ours` (our entries on any port: ours_on_any_port) the router made for
/// `mapping`, whose port it was to choose, in `*chosen`: the one left once the entries
/// the check saw before the add (`seen_before`, their external ports; null when it did
/// not read the table whole) are set aside, save one on the port asked (a router renews
/// our entry there in place); of several, the one with the mapping's description.
/// kAbsent when none is left, kUnknown when several are.
ReadBack chosen_entry(const std::vector<MappingEntry>& ours, const MappingRequest& mapping,
                      const std::vector<uint16_t>* seen_before, size_t* chosen);

/// Reads the entry of `mapping`'s protocol and external port back from the router
/// (GetSpecificPortMappingEntry, or a walk of the table where the router does not take
/// that action); `*entry` is the entry found.
ReadBack read_back(const GatewayHandle& gateway, const MappingRequest& mapping,
                   MappingEntry* entry);

/// The entry a command line asks for, its client filled in.
MappingRequest mapping_asked(const RequestRecord& request);

/// The add of `request` (its lease included): the clash check unless "-q", the add,
/// again without a lease when the router takes permanent entries alone, and the entry
/// read back when it was added with a lease, or with `read_always`. With `adopt`, an
/// entry of ours at the port (entry_is_ours) is no clash: the add renews it. Without, it
/// clashes as any other.
AddResult add_apply(const RequestRecord& request, const GatewayHandle& gateway, bool adopt = false,
                    bool read_always = false);

/// The add of `result->mapping` alone (no check): again without a lease when the router
/// takes permanent entries alone (725, or 402 to a lease), the entry read back when it
/// was added with one (or with `read_always`), and when the answer was lost (our entry
/// on any port when the router was to choose it: chosen_entry).
void add_send(const GatewayHandle& gateway, AddResult* result, bool read_always = false);

/// The lease a router gave an add, from what it reads back `elapsed_ms` after the add was
/// sent: a router counts what is left of a lease down in whole seconds, so a shortfall
/// within the seconds that may have passed (those elapsed and one of rounding) is the
/// lease `asked`, given whole. A larger one is the router's own shorter lease, and no
/// lease (0) or a longer one is read as it stands.
int64_t lease_given(int64_t asked, int64_t left, long long elapsed_ms);

/// How an add ends a run.
Outcome add_outcome(const AddResult& result);

/// What a removal came to.
struct RemoveResult {
  bool found = false;  // the search found `entry`, of ID `id`
  MappingEntry entry;
  int id = 0;
  Error error = Error::kOk;
  // The answer was lost after the request went out: the table was read to tell (`error`
  // is then kOk when the entry is gone), or could not be (`unknown`).
  bool verified = false;
  bool unknown = false;
  RouterFault fault;  // the router's own words for its refusal, where it named one
  bool removed() const { return !unknown && error == Error::kOk; }
};

/// The removal of `request`'s entry: the search unless "-q", then the removal.
RemoveResult remove_apply(const RequestRecord& request, const GatewayHandle& gateway);

/// What a refusal (`error`) of an add or removal tells beyond its status box, as one
/// sentence: the router's UPnP error and words, and where an add's description may be the
/// cause, what to try. "" where the router named nothing, or the box names its refusal
/// already (a conflict, no such entry, no lease taken). The screens put it on standard
/// error; JSON in its cause, beside `router_error`.
std::string change_refusal_note(Error error, const RouterFault& fault,
                                const std::string& description, bool add);

/// The description an add is made again with once, when the router refused it without
/// one (some routers refuse the empty text).
constexpr char kNamedDescription[] = "portwrangler";

/// How a removal ends a run.
Outcome remove_outcome(const RequestRecord& request, const RemoveResult& result);

/// Whether `entry` clashes with the entry the request would add: the same protocol
/// (ignoring letter case) and either the same external port, or the same client and
/// internal port. Without "-ip" the request's client is empty and matches no entry. An
/// entry whose port text names no port matches on no port.
bool add_clashes(const RequestRecord& request, const MappingEntry& entry);

/// Whether the router's `entry` is ours: the entry of `mapping`'s protocol and external
/// port, naming its internal client and internal port (texts ignoring letter case; an
/// internal port of 0, as some daemons report theirs, stands for ours). A holding renews
/// such an entry as its own, whichever run made it.
bool entry_is_ours(const MappingEntry& entry, const MappingRequest& mapping);

/// The same on whatever external port the entry stands (one that names a port): what
/// the router may have made when it was to choose the port.
bool ours_on_any_port(const MappingEntry& entry, const MappingRequest& mapping);

/// Whether `entry` is the one the removal asks for: the same external port and the same
/// protocol, ignoring letter case.
bool remove_matches(const RequestRecord& request, const MappingEntry& entry);

/// The status box of a refused removal: its status (52 after "-q", else 53) and its
/// message (access denied when the search had found the entry).
Outcome remove_refusal(bool quick, bool found);

#endif  // PORTWRANGLER_FLOWS_CHANGE_H_
