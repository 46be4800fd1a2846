// The results of the transport and gateway layers: Error::kOk or a named failure, whose
// value is the number the system has always used for it. A caller passes a failure upward
// unchanged; the front end turns it into a status number and its message, and the trace
// (PORTWRANGLER_TRACE=1) shows it by name, so a user can tell one cause from another.
#ifndef PORTWRANGLER_BASE_ERROR_H_
#define PORTWRANGLER_BASE_ERROR_H_

// Every error once: its name (Error::k<name>), its number and what it means. An entry
// without a text does not compile, so no error can print as an unknown one.
#define PW_ERRORS(X)                                                                         \
  /* Any layer. */                                                                           \
  X(Ok, 0, "no error")                                                                       \
  X(NoMemory, -499, "an allocation failed")                                                  \
  /* The socket layer. */                                                                    \
  X(SocketConnectFailed, -999, "no connection within the wait (refused, unreachable, slow)") \
  X(SocketSendFailed, -997, "a send failed")                                                 \
  X(SocketReceiveFailed, -995, "a receive failed")                                           \
  X(SocketStartupFailed, -994, "the socket library did not start")                           \
  X(SocketVersionTooOld, -993, "the socket library is older than 2.2")                       \
  X(SocketNoResolve, -992, "the host name does not resolve")                                 \
  X(SocketCreateFailed, -991, "no socket could be made")                                     \
  X(SocketNonBlockFailed, -990, "the socket cannot be non-blocking")                         \
  X(SocketNoLocalAddress, -987, "the local address is unknown")                              \
  X(SocketTimedOut, -986, "the run's time ran out")                                          \
  X(SocketStopped, -985, "a stop was asked")                                                 \
  X(SocketNoIpv4, -984, "no IPv4 address on the interface toward the router")                \
  X(SocketNoGlobalIpv6, -983, "no global IPv6 address on the interface toward the gateway")  \
  /* URLs and the HTTP client. */                                                            \
  X(HttpNoHead, -899, "no answer came back")                                                 \
  X(HttpHeadTooLong, -898, "the answer's head is over 4095 bytes")                           \
  X(HttpBadPort, -897, "the port is out of range")                                           \
  X(HttpCutShort, -896, "the connection ended before the answer was whole")                  \
  X(HttpBadStatusLine, -895, "the answer has no HTTP status line")                           \
  X(HttpNotOk, -894, "the status was not 200")                                               \
  X(HttpBadUrl, -893, "the URL cannot be split into host, port and path")                    \
  X(HttpRefusedHost, -892, "the URL names no router's address (loopback, multicast, ...)")   \
  /* The SSDP search. */                                                                     \
  X(SsdpNoReply, -799, "no usable reply to the search")                                      \
  X(SsdpOtherTarget, -798, "the reply's ST names another kind of device or service")         \
  X(SsdpNot200, -797, "the reply's status is not 200")                                       \
  X(SsdpNoInterface, -796, "no interface of that name can carry a search")                   \
  X(SsdpNoLocation, -795, "the reply has no LOCATION")                                       \
  /* What the gateway hands back. */                                                         \
  X(GatewayDescriptionUnparsable, -699, "the device description is not XML")                 \
  X(GatewayNoControlUrl, -698, "the description has no control URL for the service")         \
  X(GatewayNoAddress, -697, "the answer carries no external address")                        \
  X(GatewayUnparsable, -696, "the answer is not XML")                                        \
  X(GatewayTooLong, -695, "a URL is over 511 characters")                                    \
  X(GatewayMappingRefused, -694, "the router refused: a conflicting or missing entry")       \
  X(GatewayPastEnd, -693, "the router says the index is past the end of its table")          \
  X(GatewayNoEntry, -692, "an answer of 200 that holds no entry")                            \
  X(GatewayOnlyPermanent, -691, "the router takes permanent entries alone")                  \
  X(GatewayNoFirewall, -690, "the router offers no IPv6 firewall control")                   \
  X(GatewayNoPinholeId, -689, "an answer of 200 that names no pinhole ID")                   \
  X(GatewayNoAnyPort, -688, "the router cannot choose a port (no AddAnyPortMapping)")        \
  X(GatewayChosenNotOurs, -687, "the port the router named holds no entry of ours")          \
  /* NAT-PMP and PCP. */                                                                     \
  X(RouteNoGateway, -599, "the system names no default gateway")                             \
  X(PortmapNoAnswer, -598, "no NAT-PMP or PCP answer from the gateway")                      \
  X(PortmapRefused, -597, "the gateway answered with a failure result")                      \
  X(PortmapNatpmpOnly, -596, "the gateway speaks NAT-PMP, not PCP")                          \
  X(PortmapOtherPort, -595, "the gateway granted another external port")                     \
  X(PortmapStore, -594, "the host's NAT-PMP/PCP state cannot be read or written")            \
  X(PortmapNoLifetime, -593, "a success of lifetime 0: the gateway holds no mapping")        \
  X(PortmapNoPort, -592, "a success on external port 0: no port to reach")                   \
  X(PortmapBadAddress, -591, "a success on an unusable external address")

enum class Error : int {
#define PW_ERROR_VALUE(name, value, text) k##name = value,
  PW_ERRORS(PW_ERROR_VALUE)
#undef PW_ERROR_VALUE
};

/// The error's name as the code spells it, without the leading k ("HttpNotOk").
const char* error_name(Error error);

/// What the error means, in a few words ("a status other than 200").
const char* error_text(Error error);

/// The number the error stands for (-894).
inline int error_number(Error error) {
  return static_cast<int>(error);
}

#endif  // PORTWRANGLER_BASE_ERROR_H_
