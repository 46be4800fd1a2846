#include "net/ssdp.h"

#include "base/guard.h"
#include "base/limits.h"
#include "base/text.h"
#include "net/http.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

std::string ssdp_search_text(const std::string& target, bool v6) {
  return std::string("M-SEARCH * HTTP/1.1\r\nMX: 2\r\nHOST: ") +
         (v6 ? "[FF02::C]:1900" : "239.255.255.250:1900") +
         "\r\nMAN: \"ssdp:discover\"\r\nST: " + target + "\r\n\r\n";
}

Error ssdp_send_search(SocketHandle* socket, const std::string& target, bool v6, unsigned zone) {
  return guard_allocation([&] {
    const std::string text = ssdp_search_text(target, v6);
    std::string group = v6 ? kSsdpGroupV6 : kSsdpGroup;
    if (v6 && zone != 0) group += "%" + std::to_string(zone);
    return udp_send_to(socket, group, kSsdpPort, text.data(), text.size());
  });
}

Error ssdp_receive_reply(SocketHandle* socket, int milliseconds, SsdpReply* reply) {
  char buffer[kSsdpReplyMax];
  size_t got = 0;
  std::string sender;
  Error error = udp_receive(socket, buffer, sizeof(buffer), &got, &sender, milliseconds);
  if (error != Error::kOk) return error;
  if (got == 0) return Error::kSsdpNoReply;
  return guard_allocation([&] {
    reply->text.assign(buffer, got);
    reply->sender = sender;
    return Error::kOk;
  });
}

Error ssdp_location(const std::string& reply, std::string* location) {
  return guard_allocation([&] {
    // A datagram may carry NUL bytes; only the text before the first one counts.
    const std::string text(reply.c_str());
    const std::string upper = text_upper_ascii(text);
    int status = 0;
    if (http_status(text, &status) != Error::kOk || status != 200) return Error::kSsdpNot200;
    size_t line = upper.find("\r\n");
    while (line != std::string::npos) {
      const size_t start = line + 2;
      const size_t end = upper.find("\r\n", start);
      if (end == std::string::npos) break;  // a line without its CR LF does not count
      if (upper.compare(start, 9, "LOCATION:") == 0) {
        size_t at = start + 9;
        while (at < end && is_blank(text[at])) ++at;
        size_t stop = at;
        while (stop < end && !is_blank(text[stop])) ++stop;
        // An empty value must not borrow the next line's text.
        if (stop == at) return Error::kSsdpNoLocation;
        if (stop - at > kUrlMax) return Error::kGatewayTooLong;
        location->assign(text, at, stop - at);
        return Error::kOk;
      }
      line = end;
    }
    return Error::kSsdpNoLocation;
  });
}

std::string ssdp_header(const std::string& reply, const std::string& name) {
  const std::string text(reply.c_str());
  const std::string upper = text_upper_ascii(text);
  const std::string wanted = text_upper_ascii(name) + ":";
  size_t line = upper.find("\r\n");
  while (line != std::string::npos) {
    const size_t start = line + 2;
    const size_t end = upper.find("\r\n", start);
    if (end == std::string::npos) break;
    if (upper.compare(start, wanted.size(), wanted) == 0) {
      size_t at = start + wanted.size(), stop = end;
      while (at < stop && is_blank(text[at])) ++at;
      while (stop > at && is_blank(text[stop - 1])) --stop;
      return text.substr(at, stop - at);
    }
    line = end;
  }
  return std::string();
}
