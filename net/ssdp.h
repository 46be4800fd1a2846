// SSDP, the transport of a search: the M-SEARCH datagram sent to the multicast group,
// the replies read back with their sender, and the header lines read out of a reply.
// What a reply means for finding a router is the gateway layer's business.
#ifndef PORTWRANGLER_NET_SSDP_H_
#define PORTWRANGLER_NET_SSDP_H_

#include <string>

#include "base/error.h"
#include "net/socket.h"

constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr char kSsdpGroupV6[] = "ff02::c";  // link-local scope: every interface has its own
constexpr int kSsdpPort = 1900;

/// One datagram that came back, as it came (NUL bytes and all), and who sent it.
struct SsdpReply {
  std::string text;
  std::string sender;  // dotted decimal
};

/// The M-SEARCH datagram for a search target (to the IPv6 group with `v6`).
std::string ssdp_search_text(const std::string& target, bool v6 = false);

/// kOk when the M-SEARCH for `target` went to the SSDP group: the IPv4 one, or with `v6`
/// the IPv6 link-local one on the interface numbered `zone` (0: the one the socket's
/// multicast interface names); kSocketNoResolve, kSocketSendFailed.
Error ssdp_send_search(SocketHandle* socket, const std::string& target, bool v6 = false,
                       unsigned zone = 0);

/// kOk with a socket that hears the SSDP group's announcements (NOTIFY) on every
/// interface; its datagrams are read with ssdp_receive_reply.
Error ssdp_listen(Socket* out);

/// kOk with the next datagram within `milliseconds` (at most 1024 bytes of it);
/// kSsdpNoReply when none came, kSocketReceiveFailed.
Error ssdp_receive_reply(SocketHandle* socket, int milliseconds, SsdpReply* reply);

/// kOk with the URL of the first CR LF-ended "LOCATION:" line (name in any case, after the
/// first line) of a reply whose status line says 200; kSsdpNot200, kSsdpNoLocation (no such
/// line, or an empty value), kGatewayTooLong (over 511 characters).
Error ssdp_location(const std::string& reply, std::string* location);

/// The value of the first CR LF-ended header line named `name` (any letter case) after
/// the first line, white space around it dropped; empty when there is none.
std::string ssdp_header(const std::string& reply, const std::string& name);

#endif  // PORTWRANGLER_NET_SSDP_H_
