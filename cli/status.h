// The statuses a run ends with, with their messages: every one the driver and the flows
// report. A status box shows the number with three digits (048).
#ifndef PORTWRANGLER_CLI_STATUS_H_
#define PORTWRANGLER_CLI_STATUS_H_

enum class Status : int {
  kSyntaxError = 0,
  kHelp = 963,
  kNoRouter = 48,  // discovery failed
  kNoExternalAddress = 49,
  kDuplicate = 50,  // the add's clash check found an entry
  kAddRefused = 51,
  kRemoveRefusedQuick = 52,  // after -q, so with no search first
  kRemoveRefused = 53,
  kEnumerateFailed = 54,  // the table could not be read
  kNoLocalAddress = 55,
  // The IPv6 firewall's pinholes.
  kNoFirewall = 56,            // the router offers no IPv6 firewall control
  kPinholeNotAuthorized = 57,  // 606
  kPinholeNoRoom = 58,         // 701
  kFirewallOff = 59,           // 702
  kPinholeNotAllowed = 60,     // 703, 706
  kNoSuchPinhole = 61,         // 704 (402 for an ID)
  kPinholeFailed = 62,         // any other failure
  // NAT-PMP and PCP.
  kPortmapNoGateway = 63,   // no default gateway, or no answer from it
  kNeedsUpnp = 64,          // a command these protocols cannot carry
  kPortmapThirdParty = 65,  // NAT-PMP maps for the sender alone
  // A change whose answer was lost and that could not be read back, and what is missing
  // for an IPv4 forwarding.
  kAddUnknown = 66,
  kRemoveUnknown = 67,
  kPinholeUnknown = 68,  // also: a 200 that names no pinhole ID
  kNoLocalIpv4 = 69,
  kNoAnyPort = 70,     // --any-port: the router cannot choose the port (IGD v1)
  kNoGlobalIpv6 = 71,  // a pinhole's interface holds no address the internet reaches
  kFailure = 24576,    // silent: after a not-added / not-removed box
  kSuccess = 37906,    // silent
};

/// The exit statuses a run ends with when they carry meaning (--json, --keep,
/// --exit-status); without those every run ends with 1.
enum class ExitStatus : int {
  kDone = 0,
  kRefused = 1,     // the router refused the change
  kBadCommand = 2,  // the command line is not one the program takes
  kNoRouter = 3,    // no usable router, or the network failed before the command ran
  kClash = 4,       // the add was refused: a forwarding holds the port already
  kIncomplete = 5,  // the table could not be read whole
  kUnset = -1,
};

/// How a run ends: its status and the message of its status box (none for the two
/// silent ones), and the exit status it means where the status alone does not tell
/// (kUnset: the one exit_status_of gives the status). Each flow returns one; the driver
/// hands it to the status screen (status_show) and ends the process with its exit status.
struct Outcome {
  Status status;
  const char* message = "";  // never null: a held set prints it on its own line
  ExitStatus exit = ExitStatus::kUnset;
};

/// The exit status `outcome` means.
ExitStatus exit_status_of(const Outcome& outcome);

constexpr char kMessageSyntax[] = "Portwrangler - Syntax Information";
constexpr char kMessageNoRouter[] =
    "SSDP Discovery Service Failure -> Unable To Locate UPnP Router.";
constexpr char kMessageNoLocalAddress[] =
    "Internal IP Address Failure -> Invalid Response From UPnP Router.";
constexpr char kMessageNoExternalAddress[] =
    "External IP Address Failure -> Invalid Response From UPnP Router.";
constexpr char kMessagePortmapSecret[] =
    "Add Entry Failure -> This Host's PCP Secret Cannot Be Made.";
constexpr char kMessagePortmapState[] =
    "Add Entry Failure -> This Host's NAT-PMP/PCP State Cannot Be Written.";
constexpr char kMessageDuplicate[] = "Add Entry Failure -> Duplicate Entry Found On UPnP Router.";
constexpr char kMessageAddRefused[] = "Add Entry Failure -> Invalid Response From UPnP Router.";
constexpr char kMessageRemoveDenied[] =
    "Remove Entry Failure -> Access Denied Response From UPnP Router.";
constexpr char kMessageRemoveRefused[] =
    "Remove Entry Failure -> Invalid Response From UPnP Router.";
constexpr char kMessageEnumerateFailed[] =
    "Enumerate Failure -> Invalid Response From UPnP Router.";

constexpr char kMessageNoPortmapGateway[] =
    "NAT-PMP/PCP Failure -> No Default Gateway (--gateway ADDR).";
constexpr char kMessageNoFirewall[] = "Pinhole Failure -> No IPv6 Firewall Control On UPnP Router.";
constexpr char kMessagePinholeNotAuthorized[] =
    "Pinhole Refused (606) -> Not Authorized For This Host Or Port.";
constexpr char kMessagePinholeNoRoom[] =
    "Pinhole Refused (701) -> No Room Left: Remove A Pinhole First.";
constexpr char kMessageFirewallOff[] =
    "Pinhole Refused (702) -> The IPv6 Firewall Is Off On The Router.";
constexpr char kMessagePinholeNotAllowed[] =
    "Pinhole Refused -> The Router Allows No Such Inbound Pinhole.";
constexpr char kMessageNoSuchPinhole[] = "Pinhole Failure -> No Such Pinhole On UPnP Router.";
constexpr char kMessagePinholeFailed[] = "Pinhole Failure -> Invalid Response From UPnP Router.";
constexpr char kMessageAddUnknown[] =
    "Add Entry Unknown -> Answer Lost And Entry Unreadable On Router.";
constexpr char kMessageRemoveUnknown[] =
    "Remove Entry Unknown -> Answer Lost And Entry Unreadable On Router.";
constexpr char kMessagePinholeUnknown[] =
    "Pinhole Unknown -> Router May Have Opened It: See -pinhole -check.";
constexpr char kMessageNoLocalIpv4[] =
    "Internal IP Address Failure -> No IPv4 Address Toward UPnP Router.";

// How a held NAT-PMP/PCP mapping ended, where the run ends with it (a held set's last
// line; --keep shows its events and no status box).
constexpr char kMessagePortmapNoAnswer[] = "NAT-PMP/PCP Failure -> No Answer From The Gateway.";
constexpr char kMessagePortmapRefused[] = "NAT-PMP/PCP Failure -> Refused By The Gateway.";
constexpr char kMessagePortmapTaken[] = "NAT-PMP/PCP Failure -> Port Taken On The Gateway.";
constexpr char kMessagePortmapNotRemoved[] =
    "NAT-PMP/PCP Failure -> Mapping Not Removed From The Gateway.";

constexpr char kMessageNoGlobalIpv6[] =
    "Internal IP Address Failure -> No Global IPv6 Address On The Link.";

constexpr char kMessageNoAnyPort[] =
    "Add Entry Failure -> The Router Cannot Choose A Port (IGD v1).";

#endif  // PORTWRANGLER_CLI_STATUS_H_
