// The results of the transport and gateway layers: Error::kOk or a named failure, whose
// value is the number the system has always used for it. A caller passes a failure upward
// unchanged; the front end turns it into a status number and its message, and the trace
// (PORTWRANGLER_TRACE=1) shows it by name, so a user can tell one cause from another.
#ifndef PORTWRANGLER_BASE_ERROR_H_
#define PORTWRANGLER_BASE_ERROR_H_

enum class Error : int {
  kOk = 0,

  // Any layer.
  kNoMemory = -499,     // an allocation failed
  kBadArgument = -498,  // a required argument is absent or invalid

  // The socket layer.
  kSocketConnectFailed = -999,  // not connected within the wait (or refused)
  kSocketNotWritable = -998,
  kSocketSendFailed = -997,
  kSocketNotReadable = -996,
  kSocketReceiveFailed = -995,
  kSocketStartupFailed = -994,
  kSocketVersionTooOld = -993,  // the socket library is older than 2.2
  kSocketNoResolve = -992,
  kSocketCreateFailed = -991,
  kSocketNonBlockFailed = -990,
  kSocketNoLocalAddress = -987,

  // URLs and the HTTP client.
  kHttpNoHead = -899,  // nothing came back
  kHttpHeadTooLong = -898,
  kHttpBadPort = -897,
  kHttpCutShort = -896,  // the connection ended before the answer was whole
  kHttpBadStatusLine = -895,
  kHttpNotOk = -894,  // a status other than 200
  kHttpBadUrl = -893,

  // The SSDP search.
  kSsdpNoReply = -799,
  kSsdpOtherTarget = -798,  // a reply that answers no search made
  kSsdpNot200 = -797,
  kSsdpNoLocation = -795,

  // What the gateway hands back.
  kGatewayDescriptionUnparsable = -699,
  kGatewayNoControlUrl = -698,
  kGatewayNoAddress = -697,       // an external-address answer without one
  kGatewayUnparsable = -696,      // an answer that is not XML, even mended
  kGatewayTooLong = -695,         // a location or control URL past 511 characters
  kGatewayMappingRefused = -694,  // UPnP error 718 (add) or 714 (delete)
  kGatewayOnlyPermanent = -693,   // UPnP error 725: a lease was asked of a router without them
};

/// The error's name as the code spells it, without the leading k ("HttpNotOk").
const char* error_name(Error error);

/// What the error means, in a few words ("a status other than 200").
const char* error_text(Error error);

/// Whether the error is a failure of the connection rather than an answer: no connection,
/// or one that broke, went silent or ended before the answer was whole. Such a read may
/// be tried again; an answer of any status never is.
bool error_in_transport(Error error);

/// The number the error stands for (-894).
inline int error_number(Error error) {
  return static_cast<int>(error);
}

#endif  // PORTWRANGLER_BASE_ERROR_H_
