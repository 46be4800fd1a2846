// A minimal HTTP/1.1 client: one request per connection, the head read byte by byte
// (so the body stays in the socket), only status 200 accepted, the body read up to its
// Content-Length and never past 65536 bytes. Codes of the socket layer pass through.
#ifndef PORTWRANGLER_NET_HTTP_H_
#define PORTWRANGLER_NET_HTTP_H_

#include <memory>
#include <string>

#include "base/result_codes.h"

constexpr size_t kHttpHeadMax = 4095;  // the head, blank line included
constexpr size_t kHttpBodyMax = 65536;
constexpr size_t kUrlTokenMax = 511;
constexpr int kHttpConnectSeconds = 1;
constexpr int kHttpReadSeconds = 10;

struct HttpGetRequest {
  std::string path;  // without its leading '/'
  std::string host;
  int port = 80;
};

struct HttpHeader {
  std::string name;
  std::string value;
  std::unique_ptr<HttpHeader> next;
};

struct HttpPostRequest {
  std::string path;
  std::string host;
  int port = 80;
  std::string body;
  std::unique_ptr<HttpHeader> headers;  // the last added first: they go out in that order
  bool keep_error_body = false;         // read the body of a refusal too (SOAP faults)
};

/// 0 with host, path (after the first '/') and port (80 when the URL names none) of
/// "http://host[:port]/path" or "host[:port]/path"; -893 when there is no token or no
/// '/', or the port is not a number from 1 to 65535 in at most 5 characters.
int url_split(const char* url, std::string* host, std::string* path, int* port);

/// Copies `source` with a..z upper-cased and every other byte unchanged. Always 0.
int upper_copy(const char* source, char* destination);

/// 0 with a new GET request in `*out`; -498 for an absent text or a port outside 0..65535.
int http_get_new(const char* host, const char* path, int port, HttpGetRequest** out);
/// Frees the request: 0, or -498 when it is absent.
int http_get_free(HttpGetRequest* request);

/// 0 with a new POST request without headers in `*out`; -498, -499.
int http_post_new(const char* host, const char* path, int port, const char* body,
                  HttpPostRequest** out);
/// 0 with the header linked in front of the earlier ones; -499.
int http_post_add_header(HttpPostRequest* request, const char* name, const char* value);
/// Frees the request and its headers: 0, or -498 when it is absent.
int http_post_free(HttpPostRequest* request);

/// 0 with the response body of one GET exchange; `*status` holds the status code once
/// the status line was read (-894 for any status but 200, with no body).
int http_get(const HttpGetRequest* request, std::string* body, int* status);
/// As http_get for a POST; with keep_error_body a refusal still hands back its body.
int http_post(const HttpPostRequest* request, std::string* body, int* status);

// The steps of an exchange, for the callers above and for tests.

/// 0 with "host:port" (the port always written); -897 for a port above 65535.
int http_host_value(const std::string& host, int port, std::string* value);
/// The header list as "name: value\r\n" lines, front of the list first.
std::string http_header_lines(const HttpPostRequest& request);
/// 0 with the request text of a GET / POST; -498, -897.
int http_get_text(const HttpGetRequest* request, std::string* text);
int http_post_text(const HttpPostRequest* request, std::string* text);
/// 0 with the status code of a head beginning "HTTP/1.<minor> <code>", the code
/// exactly three digits; -895.
int http_status(const std::string& head, int* status);
/// The body length the head announces: its Content-Length (any letter case), or 65536
/// when it is absent, unreadable, negative or above 65536.
size_t http_content_length(const std::string& head);

#endif  // PORTWRANGLER_NET_HTTP_H_
