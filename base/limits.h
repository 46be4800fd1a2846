// Every cap on what the system reads, sends or keeps, and every wait, with its reason.
// Texts from outside are cut to these where a character ends; nothing is read past them.
#ifndef PORTWRANGLER_BASE_LIMITS_H_
#define PORTWRANGLER_BASE_LIMITS_H_

#include <cstddef>

// SSDP. A reply is one datagram; its head fits a single Ethernet frame in practice.
constexpr size_t kSsdpReplyMax = 1024;

// URLs: a LOCATION, a URL token, a composed control URL. Routers name short URLs; a bound
// keeps a reply from making the client carry an arbitrarily long one.
constexpr size_t kUrlMax = 511;

// HTTP. The head, its blank line included, and the body of one answer: a router's answers
// are a few kilobytes; nothing past these is read. A chunk-size line is a hexadecimal
// number and perhaps extensions; nothing sensible is longer.
constexpr size_t kHttpHeadMax = 4095;
constexpr size_t kHttpBodyMax = 65536;
constexpr size_t kHttpChunkLineMax = 1024;
// All the bytes of a chunked body (sizes, extensions, line ends, trailers and data): four
// times the body's cap still takes chunks as small as two bytes, and nothing endless.
constexpr size_t kHttpChunkedMax = 4 * kHttpBodyMax;

// Replies taken at one wake of the search, and those still read once its wait is over: a
// flood must not keep the search from its descriptions, nor going past its end.
constexpr int kSsdpRepliesAtOnce = 64;
// Datagrams to NAT-PMP/PCP's announcement port read at one wake of the holding loop: a
// flood must not keep the loop from its renewals.
constexpr int kPortmapAnnouncementsAtOnce = 16;

// A description typed for an add, in bytes of the UTF-8 sent: escaped (at most six bytes
// for one), it still fits the envelope.
constexpr size_t kDescriptionMax = 8192;

// Texts kept from the router's answers, in bytes (each cut where a character ends):
// an address (the entry's client, the external address) fits 31, as dotted IPv4 text
// does many times over; a protocol 4 ("TCP", "UDP"); an identity text 49.
constexpr size_t kAddressTextMax = 31;
// A router's errorDescription, as a refusal's cause shows it: its words, not a document.
constexpr size_t kFaultDescriptionMax = 128;
constexpr size_t kProtocolTextMax = 4;
constexpr size_t kDeviceInfoTextMax = 49;

// An entry ID as typed: the list shows three digits.
constexpr int kEntryIdMax = 999;

// The most reads of one walk of the table: every 16-bit index once, never wrapping.
constexpr int kWalkMax = 65536;

// A walk whose table changes under it (another host adds an entry, which the router puts
// first) starts again this many times at most: a table that keeps moving is not read.
constexpr int kWalkRestartsMax = 2;

// An exchange that fails in transport is made again, this many times in all: on a LAN
// that loses one packet in five, three tries leave about one read in five hundred lost.
constexpr int kTransportTries = 3;

// The search: sent at these times from its start, since a datagram may be lost and devices
// answer each within MX (2 s); a WAN IP answer is waited for this long once a WAN PPP one is
// at hand, the window in which devices answer the first two sends.
constexpr int kSsdpSendAtMilliseconds[] = {0, 300, 1000};
constexpr int kSsdpPreferIpMilliseconds = 2500;

// Descriptions read by one search: this many side by side at most, a finished read making
// room for the next; the others wait their turn, a sender's first LOCATION before any
// sender's second. A sender's LOCATIONs are taken this many at most (a router may offer a
// few root devices; a device that answers every search with a new LOCATION gets no more),
// the LOCATIONs waiting and read are kept this many at most (a full list makes room with
// a read one, or with a later LOCATION of a sender for a sender's first), the senders
// counted this many, and the reads of one search, tries again included, this many: a
// flood costs a fixed amount of memory and work. Each read has its own time; reads run
// side by side, so a device that stays silent costs the router nothing; once the search's
// wait is over, the reads under way get until the search's end at most.
constexpr int kDescriptionReadsAtOnce = 8;
constexpr int kDescriptionsPerSender = 3;
constexpr size_t kCandidatesMax = 64;
constexpr size_t kSendersMax = 256;
constexpr int kDescriptionReadsMax = 128;
constexpr int kDescriptionSeconds = 4;
// A read that has had nothing for this long, or less than this many bytes a second over
// its life once it is that old, gives its place to the next waiting: a router's
// description comes whole in milliseconds, and a crowd of devices that hang or trickle
// must not hold every place while the router's reply waits. It goes on beside, within
// its own time, up to this many reads open at once (its socket is all it costs).
constexpr int kDescriptionStallMilliseconds = 1000;
constexpr int kDescriptionBytesPerSecondMin = 1024;
constexpr int kDescriptionReadsOpen = 32;
constexpr int kDiscoverySeconds = 10;

// Waits, in whole seconds.
constexpr int kSsdpWaitSeconds = 5;     // one search: its three sends and the answers
constexpr int kHttpConnectSeconds = 2;  // past TCP's first SYN retransmission (1 s)
constexpr int kLocalAddressConnectSeconds = 2;
// One HTTP exchange, all of it: connect, request, head and body. A router answers in well
// under a second; ten leave room for a lossy LAN, and a peer that trickles a byte at a
// time gets no more.
constexpr int kHttpExchangeSeconds = 10;

// The run's end, a deadline handed down to every exchange (base/clock.h): what discovery
// (10 s at most), the local address (three connects of 2 s) and the external address
// (three exchanges of 10 s) may take, 46 s, and room for the command's first exchanges;
// each table entry read moves it on by a second, so a long table is read whole while a
// router that answers each read slowly cannot hold the run.
constexpr int kRunSeconds = 60;
constexpr int kRunSecondsPerEntry = 1;

// NAT-PMP and PCP: datagrams taken at one step of an exchange; a flood from elsewhere must
// not hold it past its schedule.
constexpr int kPortmapDatagramsAtOnce = 16;

// --protocol auto: once a NAT-PMP/PCP server has answered, the UPnP search is given this
// long from its start (a router answers the first two sends within it, as the search's MX
// of 2 s asks); a description named by then is still read, until the search's wait ends
// at most. Past that, the server that answered is taken.
constexpr int kAutoUpnpWaitMilliseconds = 2000;

// -diagnose: the whole report within this, its search (10 s at most) included; what is
// read after the search shares what is left. A listener on this host answers a connect at
// once: one second tells.
constexpr int kDiagnoseSeconds = 14;
constexpr int kDiagnoseConnectSeconds = 1;

// Leases, in seconds: every bound a lease is checked against, and what the messages that
// tell them say. UPnP IGD caps a forwarding's lease at a week; a pinhole's at a day
// (WANIPv6FirewallControl), 3600 unless the command gives one.
constexpr int kLeaseMinSeconds = 1;
constexpr int kLeaseMaxSeconds = 604800;
constexpr unsigned long kPinholeLeaseMin = 1;
constexpr unsigned long kPinholeLeaseMax = 86400;
constexpr unsigned long kPinholeLeaseDefault = 3600;

// Holding (--keep). The lease asked without --lease; the shortest held, as the loop renews
// at half the lease in whole seconds and a check and an add must fit in between.
constexpr int kKeepLeaseSeconds = 3600;
constexpr int kKeepLeaseMinSeconds = 2;
// NAT-PMP and PCP: the lifetime asked without --lease (RFC 6886's recommendation), and
// the range --lease takes with them: the gateway grants what it grants (a VPN gateway 60 s
// whatever is asked), so a short one is asked as given; past a day none is granted in
// practice, and a NAT-PMP server grants anything, even a value that wraps.
constexpr int kPortmapLifetimeSeconds = 7200;
constexpr int kPortmapLeaseMinSeconds = 1;
constexpr int kPortmapLeaseMaxSeconds = 86400;
// The longest wait before a renewal: half the longest lease a router grants in practice.
constexpr int kKeepRenewMaxMs = 86400000;
// Renewals refused in a row before the holding ends: a passing refusal (a router busy
// or restarting its service) is waited out; one that stays is not asked forever.
constexpr int kKeepRefusalsMax = 3;
// NAT-PMP and PCP: the least wait between two renewals, whatever lifetime the gateway
// grants (it grants what it grants): one granting a second or two is not asked many times
// a second. The loop renews at half the lease it is given, so that lease is at least twice.
constexpr int kPortmapRenewFloorSeconds = 2;
// --same-port: the asks of one step in all, the first included. A gateway that grants a
// port, then another once the first is deleted and asked for inside and out, is not
// chased: it grants no port the same inside.
constexpr int kSamePortAsksMax = 3;
// A held set: how often a port another host took is looked at again (it is never
// overwritten; asking more often only loads the router).
constexpr int kHoldTakenRecheckMs = 600000;
// The least time between two renewals of one entry that a router's news brings forward
// (an announcement, an answer whose epoch says it lost its mappings): a router that
// sends its epoch back in every answer, or floods announcements, gets one renewal of an
// entry per this long, not one per datagram.
constexpr int kHoldRenewFloorMs = 2000;
// Windows has no SIGHUP: a held set's file is looked at this often, and a new size or
// time of its last change reads it again (at most one look per wait; a stat is cheap).
constexpr int kHoldFileCheckMs = 2000;
// The lines of a held set's file, and the bytes of the file: a set is a handful of ports.
constexpr int kHoldLinesMax = 1024;
constexpr long kHoldFileBytesMax = 1 << 20;
// How long a hook (--on-change) may run before it is stopped, and the bytes of one of its
// output lines.
constexpr int kHookMs = 30000;
constexpr size_t kHookLineMax = 4096;
// What a hook's output is still read for once the hook itself has ended: a background
// process it left may hold the pipe open for good.
constexpr int kHookDrainMs = 200;
// How long the end of a held set waits for the hooks still queued or running (those of
// the removals, mostly) before it ends them.
constexpr int kHookStopGraceMs = 5000;
// The hooks that may wait for their turn: one for each event of a whole set at once, and
// room besides; past that a hook is not run (a `hook-failed`), so a hook slower than the
// events holds no more memory than this.
constexpr size_t kHookWaitingMax = 4 * kHoldLinesMax;

// What a holding run may still take once it is stopped, however the router answers: the
// removal's check of the entry, then its DeletePortMapping (one exchange's whole 10 s),
// each within its own time, 15 s in all, which a service manager's stop timeout covers
// with room. A check cut off still leaves the removal its time.
constexpr int kStopCheckSeconds = 5;
constexpr int kStopRemoveSeconds = 10;

// A NAT-PMP delete answers success whether or not it removed anything; a UPnP router at
// the same gateway can tell. The search for it and the one read of its table get this
// long together: a router answers the search within 2.5 s (the search's own send times),
// and a delete with no UPnP router beside it costs no more than that.
constexpr int kConfirmSearchMs = 2500;
constexpr int kConfirmReadMs = 2000;

// The table of this host's NAT-PMP/PCP mappings: a line is under 80 bytes, so 1 MiB is
// over ten thousand mappings; a longer file is not this program's, and is refused whole.
constexpr size_t kStoreTableBytesMax = 1 << 20;

// The system's routing table, read for the default gateway: a line is about 128 bytes, so
// 16 MiB is over a hundred thousand routes; a longer table is left unread (no default
// gateway is then known, as on a host without one).
constexpr size_t kRouteTableBytesMax = 16 << 20;

// A file replaced while a reader holds it open (Windows refuses the rename then) is tried
// again this often, this far apart: 2 s at most, which a reader of a small file never takes.
constexpr int kReplaceTries = 40;
constexpr int kReplacePauseMs = 50;

#endif  // PORTWRANGLER_BASE_LIMITS_H_
