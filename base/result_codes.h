// The result codes of the transport and gateway layers, one definition each. Every
// operation there returns kOk or one of the negative codes below, with its results in
// out-parameters; a caller passes a failing code upward unchanged. The codes are never
// shown: the front end turns a failure into a status number and its message.
#ifndef PORTWRANGLER_BASE_RESULT_CODES_H_
#define PORTWRANGLER_BASE_RESULT_CODES_H_

constexpr int kOk = 0;

// Any layer.
constexpr int kNoMemory = -499;     // an allocation failed
constexpr int kBadArgument = -498;  // a required argument is absent or invalid

// The socket layer.
constexpr int kSocketConnectFailed = -999;  // not connected within the wait (or refused)
constexpr int kSocketNotWritable = -998;
constexpr int kSocketSendFailed = -997;
constexpr int kSocketNotReadable = -996;
constexpr int kSocketReceiveFailed = -995;
constexpr int kSocketStartupFailed = -994;
constexpr int kSocketVersionTooOld = -993;  // the socket library is older than 2.2
constexpr int kSocketNoResolve = -992;
constexpr int kSocketCreateFailed = -991;
constexpr int kSocketNonBlockFailed = -990;
constexpr int kSocketNoLocalAddress = -987;

// URLs and the HTTP client.
constexpr int kHttpNoHead = -899;  // nothing came back
constexpr int kHttpHeadTooLong = -898;
constexpr int kHttpBadPort = -897;
constexpr int kHttpBadStatusLine = -895;
constexpr int kHttpNotOk = -894;  // a status other than 200
constexpr int kHttpBadUrl = -893;

// The SSDP search.
constexpr int kSsdpNoReply = -799;
constexpr int kSsdpNot200 = -797;
constexpr int kSsdpNoLocation = -795;

// What the gateway hands back.
constexpr int kGatewayDescriptionUnparsable = -699;
constexpr int kGatewayNoControlUrl = -698;
constexpr int kGatewayNoAddress = -697;       // an external-address answer without one
constexpr int kGatewayUnparsable = -696;      // an answer that is not XML, even mended
constexpr int kGatewayTooLong = -695;         // a location or control URL past 511 characters
constexpr int kGatewayMappingRefused = -694;  // UPnP error 718 (add) or 714 (delete)

#endif  // PORTWRANGLER_BASE_RESULT_CODES_H_
