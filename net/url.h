// The URLs the client follows: a LOCATION, a URLBase, a control URL, --url. One parsed
// form, one parser and one writer; what kind of address a host names.
#ifndef PORTWRANGLER_NET_URL_H_
#define PORTWRANGLER_NET_URL_H_

#include <string>

#include "base/error.h"

/// A parsed URL of the http scheme.
struct Url {
  std::string host;  // a name, an IPv4 address or an IPv6 address (no brackets, no zone)
  std::string zone;  // the IPv6 zone ("eth0", "3"); empty when none
  int port = 80;
  std::string path;  // after the first '/'
};

/// kOk with the parts of "http://host[:port]/path" or "host[:port]/path"; the host an
/// IPv6 address in brackets too, perhaps with a zone ("[fe80::1%25eth0]", or "%eth0" as
/// some devices write it). kHttpBadUrl when there is no token or no '/', a '[' does not
/// close before it, the brackets hold anything but an IPv6 address (and its zone), or the
/// port is not a number from 1 to 65535 in at most 5 digits. The URL is read up to its
/// first white space and at most 511 characters of it.
Error url_parse(const std::string& text, Url* url);

/// What is wrong with `text` as url_parse reads it ("its port is not a number"), or null.
const char* url_fault(const std::string& text);

/// "host:port" ("[host%25zone]:port" for an IPv6 host), the port always written.
std::string url_authority(const Url& url);

/// The URL as text: "http://", its authority, '/' and the path.
std::string url_text(const Url& url);

/// The host as the socket layer takes it: an IPv6 zone after '%' ("fe80::1%eth0").
std::string url_connect_host(const Url& url);

/// Whether the host is an IPv6 link-local address (fe80::/10, in any letter case).
bool url_host_link_local(const Url& url);

/// Whether the host is this host's own loopback (127.0.0.0/8, ::1, its IPv4-mapped form,
/// or the name localhost).
bool url_host_loopback(const Url& url);

/// Why no router can be at the host, or null: a loopback, unspecified, multicast or
/// broadcast address (in any form the resolver reads, "127.1" and "0x7f.1" too). A name
/// other than localhost is not judged.
const char* url_host_refusal(const Url& url);

/// kOk with host ("fe80::1%eth0" for a zone), path and port of `url`: url_parse in the
/// form the socket layer takes. The out parts may be null.
Error url_split(const std::string& url, std::string* host, std::string* path, int* port);

/// "host:port", or "[host]:port" for an IPv6 host (a zone after '%' written "%25zone").
std::string http_host_port(const std::string& host, int port);

#endif  // PORTWRANGLER_NET_URL_H_
