// HTTP client: URL splitting, request records and texts, and the exchange itself.
#include "net/http.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/guard.h"
#include "net/socket.h"

namespace {

/// Where the blank line that ends a head ends within `text`, looking from `from` on;
/// 0 when it is not there.
size_t end_of_head(const char* text, size_t from, size_t length) {
  for (size_t i = from; i + 4 <= length; ++i) {
    if (std::memcmp(text + i, "\r\n\r\n", 4) == 0) return i + 4;
  }
  return 0;
}

/// 0 with the head (at most 4095 bytes, up to and including its blank line), leaving
/// the body in the socket; -899 nothing came, -898 too long. What has arrived is looked
/// at first and then exactly the head's bytes of it are taken, so the body stays put
/// without a receive call per byte.
int http_read_head(SocketHandle* socket, std::string* head) {
  char buffer[kHttpHeadMax + 1];
  size_t length = 0;
  bool ended = false;
  while (!ended && length < sizeof(buffer)) {
    size_t seen = 0;
    int code = tcp_peek(socket, buffer + length, sizeof(buffer) - length, &seen, kHttpReadSeconds);
    if (code != kOk) return code;
    if (seen == 0) break;  // silent or closed: parse what came
    // The blank line may have begun in bytes taken before.
    size_t end = end_of_head(buffer, length >= 3 ? length - 3 : 0, length + seen);
    ended = end != 0;
    size_t take = ended ? end - length : seen;
    size_t got = 0;
    code = tcp_receive(socket, buffer + length, take, &got, kHttpReadSeconds);
    if (code != kOk) return code;
    length += got;
    if (got < take) break;  // what was seen went away: the connection broke
  }
  if (length == 0) return kHttpNoHead;
  if (length > kHttpHeadMax) return kHttpHeadTooLong;
  head->assign(buffer, length);
  return 0;
}

/// 0 with up to `length` body bytes: fewer when the peer closes or stays silent.
int http_read_body(SocketHandle* socket, size_t length, std::string* body) {
  std::unique_ptr<char[]> buffer(new char[length + 1]);
  size_t got = 0;
  int code = tcp_receive(socket, buffer.get(), length, &got, kHttpReadSeconds);
  if (code != kOk) return code;
  body->assign(buffer.get(), got);
  return 0;
}

/// The steps after the connect; the caller closes the connection.
int exchange_on(SocketHandle* socket, const std::string& text, bool keep_error_body,
                std::string* body, int* status) {
  size_t sent = 0;
  int code = tcp_send_all(socket, text.data(), text.size(), &sent);
  if (code != kOk) return code;
  std::string head;
  code = http_read_head(socket, &head);
  if (code != 0) return code;
  int parsed = 0;
  code = http_status(head, &parsed);
  if (code != 0) return code;
  *status = parsed;
  if (parsed != 200 && !keep_error_body) return kHttpNotOk;
  std::string received;
  code = http_read_body(socket, http_content_length(head), &received);
  if (code != 0) return code;
  body->swap(received);
  return parsed == 200 ? 0 : kHttpNotOk;
}

/// Connect, send, read, close: one request over its own connection.
int http_exchange(const std::string& host, int port, const std::string& text, bool keep_error_body,
                  std::string* body, int* status) {
  SocketHandle* socket = nullptr;
  int code = tcp_connect(&socket, host.c_str(), port, kHttpConnectSeconds);
  if (code != kOk) return code;
  // Owned, so that an allocation failing inside the exchange still closes it.
  SocketOwner owned(socket);
  return exchange_on(socket, text, keep_error_body, body, status);
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool valid_request_port(int port) {
  return port >= 0 && port <= 65535;
}

}  // namespace

int url_split(const char* url, std::string* host, std::string* path, int* port) {
  if (url == nullptr) return kHttpBadUrl;
  char token[kUrlTokenMax + 1];
  if (std::sscanf(url, "http://%511s", token) != 1 && std::sscanf(url, "%511s", token) != 1) {
    return kHttpBadUrl;
  }
  const char* slash = std::strchr(token, '/');
  if (slash == nullptr) return kHttpBadUrl;
  const char* colon = std::strchr(token, ':');
  int value = 80;
  const char* host_end = slash;
  if (colon != nullptr && colon < slash) {
    host_end = colon;
    size_t digits = static_cast<size_t>(slash - colon - 1);
    if (digits > 5) return kHttpBadUrl;
    if (digits > 0) {
      value = 0;
      for (const char* c = colon + 1; c < slash; ++c) {
        if (*c < '0' || *c > '9') return kHttpBadUrl;
        value = value * 10 + (*c - '0');
      }
      if (value < 1 || value > 65535) return kHttpBadUrl;
    }
  }
  if (host != nullptr) host->assign(token, static_cast<size_t>(host_end - token));
  if (path != nullptr) path->assign(slash + 1);
  *port = value;
  return 0;
}

int upper_copy(const char* source, char* destination) {
  do {
    char c = *source;
    *destination++ = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  } while (*source++ != '\0');
  return 0;
}

int http_get_new(const char* host, const char* path, int port, HttpGetRequest** out) {
  if (host == nullptr || path == nullptr || out == nullptr || !valid_request_port(port)) {
    return kBadArgument;
  }
  return guard_allocation([&] {
    *out = new HttpGetRequest{path, host, port};
    return 0;
  });
}

int http_get_free(HttpGetRequest* request) {
  if (request == nullptr) return kBadArgument;
  delete request;
  return 0;
}

int http_post_new(const char* host, const char* path, int port, const char* body,
                  HttpPostRequest** out) {
  if (host == nullptr || path == nullptr || body == nullptr || out == nullptr ||
      !valid_request_port(port)) {
    return kBadArgument;
  }
  return guard_allocation([&] {
    std::unique_ptr<HttpPostRequest> request(new HttpPostRequest);
    request->host = host;
    request->path = path;
    request->port = port;
    request->body = body;
    *out = request.release();
    return 0;
  });
}

int http_post_add_header(HttpPostRequest* request, const char* name, const char* value) {
  return guard_allocation([&] {
    std::unique_ptr<HttpHeader> header(new HttpHeader{name, value, nullptr});
    header->next = std::move(request->headers);
    request->headers = std::move(header);
    return 0;
  });
}

int http_post_free(HttpPostRequest* request) {
  if (request == nullptr) return kBadArgument;
  // Unlink the headers one by one: a long list must not recurse in the destructors.
  std::unique_ptr<HttpHeader> header = std::move(request->headers);
  while (header) header = std::move(header->next);
  delete request;
  return 0;
}

int http_host_value(const std::string& host, int port, std::string* value) {
  if (port > 65535) return kHttpBadPort;
  *value = host + ":" + std::to_string(port);
  return 0;
}

std::string http_header_lines(const HttpPostRequest& request) {
  std::string lines;
  for (const HttpHeader* h = request.headers.get(); h != nullptr; h = h->next.get()) {
    lines += h->name + ": " + h->value + "\r\n";
  }
  return lines;
}

int http_get_text(const HttpGetRequest* request, std::string* text) {
  if (request == nullptr || text == nullptr) return kBadArgument;
  return guard_allocation([&] {
    std::string host;
    int code = http_host_value(request->host, request->port, &host);
    if (code != 0) return code;
    *text = "GET /" + request->path + " HTTP/1.1\r\nHOST: " + host + "\r\n\r\n";
    return 0;
  });
}

int http_post_text(const HttpPostRequest* request, std::string* text) {
  if (request == nullptr || text == nullptr) return kBadArgument;
  return guard_allocation([&] {
    std::string host;
    int code = http_host_value(request->host, request->port, &host);
    if (code != 0) return code;
    *text = "POST /" + request->path + " HTTP/1.1\r\nHOST: " + host + "\r\n" +
            http_header_lines(*request) + "\r\n" + request->body;
    return 0;
  });
}

int http_status(const std::string& head, int* status) {
  // "HTTP/1." and the minor version's digits, blanks, then a status code of exactly
  // three digits: a longer number is no status, and converting it could wrap into 200.
  const char* at = head.c_str();
  if (std::strncmp(at, "HTTP/1.", 7) != 0) return kHttpBadStatusLine;
  at += 7;
  if (!is_digit(*at)) return kHttpBadStatusLine;
  while (is_digit(*at)) ++at;
  if (*at != ' ' && *at != '\t') return kHttpBadStatusLine;
  while (*at == ' ' || *at == '\t') ++at;
  int code = 0;
  for (int i = 0; i < 3; ++i, ++at) {
    if (!is_digit(*at)) return kHttpBadStatusLine;
    code = code * 10 + (*at - '0');
  }
  if (is_digit(*at)) return kHttpBadStatusLine;
  *status = code;
  return 0;
}

size_t http_content_length(const std::string& head) {
  std::string upper(head.size(), '\0');
  upper_copy(head.c_str(), &upper[0]);
  size_t at = upper.find("CONTENT-LENGTH:");
  if (at == std::string::npos) return kHttpBodyMax;
  const char* number = head.c_str() + at + 15;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(number, &end, 10);
  // strtol saturates instead of overflowing; a negative length means no length at all.
  if (end == number || errno == ERANGE || value < 0 || value > static_cast<long>(kHttpBodyMax)) {
    return kHttpBodyMax;
  }
  return static_cast<size_t>(value);
}

int http_get(const HttpGetRequest* request, std::string* body, int* status) {
  if (request == nullptr || body == nullptr || status == nullptr) return kBadArgument;
  return guard_allocation([&] {
    std::string text;
    int code = http_get_text(request, &text);
    if (code != 0) return code;
    return http_exchange(request->host, request->port, text, false, body, status);
  });
}

int http_post(const HttpPostRequest* request, std::string* body, int* status) {
  if (request == nullptr || body == nullptr || status == nullptr) return kBadArgument;
  return guard_allocation([&] {
    std::string text;
    int code = http_post_text(request, &text);
    if (code != 0) return code;
    return http_exchange(request->host, request->port, text, request->keep_error_body, body,
                         status);
  });
}
