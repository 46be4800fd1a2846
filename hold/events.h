// What the holding service tells: the loop and its kinds report each event of a held
// entry, each first add and each line of a held set to a sink (as a build reports to its
// status printer). The screens' and JSON lines are one sink (render/); a held set's status
// file and hooks another, set before it. Nothing in hold/ prints.
#ifndef PORTWRANGLER_HOLD_EVENTS_H_
#define PORTWRANGLER_HOLD_EVENTS_H_

#include <cstdint>
#include <string>

#include "base/error.h"
#include "cli/options.h"
#include "cli/records.h"
#include "cli/status.h"
#include "flows/change.h"
#include "flows/pinhole.h"
#include "gateway/mapping.h"
#include "portmap/exchange.h"

/// What one operation on a held entry came to, as the loop acts on it.
enum class HoldStep {
  kHeld,      // the router holds it for us now
  kGone,      // the router holds it no more (a reboot, a lease run out); after a release:
              // removed
  kConflict,  // the router refused to renew our own entry as a conflict (UPnP error 718)
  kTaken,     // another host holds the port: never overwritten
  kAway,      // the router did not answer
  kRefused,   // the router refused, for another reason
};

/// One operation's answer.
struct HoldAnswer {
  HoldStep step = HoldStep::kHeld;
  const char* event = "";     // the event the kind reports it as ("added", "adopted" ...);
                              // empty: the loop names it by the step
  std::string text;           // what the event line says of it
  Error error = Error::kOk;   // the router's answer, where it failed
  int fault = 0;              // its UPnP error, 0 when it named none
  int64_t lease_seconds = 0;  // kHeld: the lease the router granted, 0 when it holds none
  bool permanent = false;     // kHeld: the router holds the entry with no lease
  // kHeld: the lease the loop renews by where it is not the one granted (PCP's, drawn a
  // little longer so that renewals spread; a permanent entry's, the one asked); 0: granted.
  int64_t renew_lease_seconds = 0;
  int retry_ms = 0;  // kAway: the protocol's own wait before it asks again; 0: the loop's
  // kHeld: the router's external address now, where the kind read it (empty: not read);
  // another than the entry had is a `changed` event.
  std::string external_address;
  // kHeld: the router lost every mapping it held (its epoch went back): the other entries
  // held there are renewed now, not at their own time.
  bool router_lost_all = false;
  // "moved": this host's address the entry is held for now (empty: unchanged).
  std::string internal_client;
  // kHeld: the ports held now where the kind tells them (a gateway's choice); 0: as asked.
  uint16_t external_port = 0;
  uint16_t internal_port = 0;
  Outcome ending{Status::kSuccess, ""};  // how the run ends when this ends the holding
};

/// What a held entry is, as its events name it: the kind and its state at the event.
struct HeldSubject {
  enum class What { kForwarding, kPinhole, kPcpPinhole, kMapping };
  What what = What::kForwarding;
  const MappingRequest* forwarding = nullptr;  // kForwarding
  const PinholeResult* pinhole = nullptr;      // kPinhole: its ID and what it opens
  MapVia via = MapVia::kPcp;                   // kPcpPinhole, kMapping
  const PortmapRequest* mapping = nullptr;     // kPcpPinhole, kMapping
  uint32_t lifetime = 0;                       // kPcpPinhole, kMapping: as last granted
  // kMapping: the reachability note of an external address first told by this event
  // (empty: none), said before its line.
  std::string reach_note;
};

/// One event of a held entry.
struct HoldEvent {
  std::string time;  // UTC, "2026-12-08T10:00:00Z"
  const char* name;  // "added", "renewed", "lost" ...
  const HoldAnswer& answer;
  HeldSubject subject;
  std::string key;  // of a held set: the words of the entry's line
};

/// Where the holding service reports. Each call is one line or one screen, whole.
class HoldSink {
 public:
  virtual ~HoldSink() = default;
  virtual void entry_event(const HoldEvent& event) = 0;
  /// The first add of a held forwarding or pinhole, as the one-shot add shows it.
  virtual void forwarding_added(const RequestRecord& request, const AddResult& result) = 0;
  virtual void pinhole_added(const PinholeResult& result) = 0;
  /// An event of a held set as a whole, or of its hooks.
  virtual void set_event(const std::string& time, const char* name, const std::string& text) = 0;
  /// A line of its own on standard error (a hook's output, a record that stays).
  virtual void note(const std::string& line) = 0;
  /// A note to say as it is written (the reachability note of the router's address).
  virtual void reach_note(const std::string& text) = 0;
};

#endif  // PORTWRANGLER_HOLD_EVENTS_H_
