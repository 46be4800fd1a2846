#include "base/error.h"

namespace {

struct ErrorInfo {
  Error error;
  const char* name;
  const char* text;
};

const ErrorInfo kErrors[] = {
    {Error::kOk, "Ok", "no error"},
    {Error::kNoMemory, "NoMemory", "an allocation failed"},
    {Error::kBadArgument, "BadArgument", "a required argument is absent or invalid"},
    {Error::kSocketConnectFailed, "SocketConnectFailed",
     "no connection within the wait (refused, unreachable or too slow)"},
    {Error::kSocketNotWritable, "SocketNotWritable", "the socket did not become writable"},
    {Error::kSocketSendFailed, "SocketSendFailed", "a send failed"},
    {Error::kSocketNotReadable, "SocketNotReadable", "nothing arrived within the wait"},
    {Error::kSocketReceiveFailed, "SocketReceiveFailed", "a receive failed"},
    {Error::kSocketStartupFailed, "SocketStartupFailed", "the socket library did not start"},
    {Error::kSocketVersionTooOld, "SocketVersionTooOld", "the socket library is older than 2.2"},
    {Error::kSocketNoResolve, "SocketNoResolve", "the host name does not resolve"},
    {Error::kSocketCreateFailed, "SocketCreateFailed", "no socket could be made"},
    {Error::kSocketNonBlockFailed, "SocketNonBlockFailed", "the socket cannot be non-blocking"},
    {Error::kSocketNoLocalAddress, "SocketNoLocalAddress", "the local address is unknown"},
    {Error::kHttpNoHead, "HttpNoHead", "no answer came back"},
    {Error::kHttpHeadTooLong, "HttpHeadTooLong", "the answer's head is over 4095 bytes"},
    {Error::kHttpBadPort, "HttpBadPort", "the port is out of range"},
    {Error::kHttpCutShort, "HttpCutShort", "the connection ended before the answer was whole"},
    {Error::kHttpBadStatusLine, "HttpBadStatusLine", "the answer has no HTTP status line"},
    {Error::kHttpNotOk, "HttpNotOk", "the status was not 200"},
    {Error::kHttpBadUrl, "HttpBadUrl", "the URL cannot be split into host, port and path"},
    {Error::kSsdpNoReply, "SsdpNoReply", "no usable reply to the search"},
    {Error::kSsdpOtherTarget, "SsdpOtherTarget", "the reply's ST names no service searched"},
    {Error::kSsdpNot200, "SsdpNot200", "the reply is not 200 OK"},
    {Error::kSsdpNoLocation, "SsdpNoLocation", "the reply has no LOCATION"},
    {Error::kGatewayDescriptionUnparsable, "GatewayDescriptionUnparsable",
     "the device description is not XML"},
    {Error::kGatewayNoControlUrl, "GatewayNoControlUrl",
     "the description has no control URL for the service"},
    {Error::kGatewayNoAddress, "GatewayNoAddress", "the answer carries no external address"},
    {Error::kGatewayUnparsable, "GatewayUnparsable", "the answer is not XML"},
    {Error::kGatewayTooLong, "GatewayTooLong", "a URL is over 511 characters"},
    {Error::kGatewayMappingRefused, "GatewayMappingRefused",
     "the router refused: a conflicting or missing entry"},
    {Error::kGatewayOnlyPermanent, "GatewayOnlyPermanent",
     "the router takes permanent entries alone"},
};

const ErrorInfo* find(Error error) {
  for (const ErrorInfo& info : kErrors) {
    if (info.error == error) return &info;
  }
  return nullptr;
}

}  // namespace

const char* error_name(Error error) {
  const ErrorInfo* info = find(error);
  return info != nullptr ? info->name : "Unknown";
}

const char* error_text(Error error) {
  const ErrorInfo* info = find(error);
  return info != nullptr ? info->text : "an unknown error";
}

bool error_in_transport(Error error) {
  switch (error) {
    case Error::kSocketConnectFailed:
    case Error::kSocketSendFailed:
    case Error::kSocketReceiveFailed:
    case Error::kHttpNoHead:
    case Error::kHttpCutShort:
      return true;
    default:
      return false;
  }
}
