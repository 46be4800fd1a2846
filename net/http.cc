// The HTTP client: URL splitting, request texts, and the exchange itself.
#include "net/http.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/guard.h"
#include "base/limits.h"
#include "base/text.h"
#include "net/socket.h"

namespace {

static_assert(kUrlMax == 511, "url_split's scan formats carry the URL cap");

/// Where the blank line that ends a head ends within `text`, looking from `from` on;
/// 0 when it is not there.
size_t end_of_head(const char* text, size_t from, size_t length) {
  for (size_t i = from; i + 4 <= length; ++i) {
    if (std::memcmp(text + i, "\r\n\r\n", 4) == 0) return i + 4;
  }
  return 0;
}

/// kOk with the head (at most 4095 bytes, up to and including its blank line), leaving
/// the body in the socket; kHttpNoHead when nothing came, kHttpHeadTooLong. What has
/// arrived is looked at first and then exactly the head's bytes of it are taken, so the
/// body stays put without a receive call per byte. A head the connection cut before its
/// blank line is handed over as it came.
Error read_head(SocketHandle* socket, std::string* head) {
  char buffer[kHttpHeadMax + 1];
  size_t length = 0;
  bool ended = false;
  while (!ended && length < sizeof(buffer)) {
    size_t seen = 0;
    Error error =
        tcp_peek(socket, buffer + length, sizeof(buffer) - length, &seen, kHttpReadSeconds);
    if (error != Error::kOk) return error;
    if (seen == 0) break;  // silent or closed: parse what came
    // The blank line may have begun in bytes taken before.
    const size_t end = end_of_head(buffer, length >= 3 ? length - 3 : 0, length + seen);
    ended = end != 0;
    const size_t take = ended ? end - length : seen;
    size_t got = 0;
    error = tcp_receive(socket, buffer + length, take, &got, kHttpReadSeconds);
    if (error != Error::kOk) return error;
    length += got;
    if (got < take) break;  // what was seen went away: the connection broke
  }
  if (length == 0) return Error::kHttpNoHead;
  if (length > kHttpHeadMax) return Error::kHttpHeadTooLong;
  head->assign(buffer, length);
  return Error::kOk;
}

/// kOk with up to `length` body bytes: fewer when the peer closes or stays silent.
Error read_body(SocketHandle* socket, size_t length, std::string* body) {
  std::unique_ptr<char[]> buffer(new char[length + 1]);
  size_t got = 0;
  Error error = tcp_receive(socket, buffer.get(), length, &got, kHttpReadSeconds);
  if (error != Error::kOk) return error;
  body->assign(buffer.get(), got);
  return Error::kOk;
}

/// The decoding of a chunked body, fed the bytes as they arrive.
struct Dechunker {
  enum class State { kSize, kData, kDataEnd, kTrailer, kDone };
  State state = State::kSize;
  std::string line;  // the line read so far (size or trailer)
  size_t left = 0;   // bytes of the current chunk still to come
  std::string body;
  bool whole = false;
  bool garbled = false;

  bool finished() const { return state == State::kDone || garbled; }

  /// Takes bytes from `data` until the body is done; returns how many it took.
  size_t feed(const char* data, size_t length) {
    size_t at = 0;
    while (at < length && !finished()) {
      const char c = data[at];
      switch (state) {
        case State::kSize:
        case State::kTrailer:
          ++at;
          if (c != '\n') {
            line += c;
            if (line.size() > kHttpChunkLineMax) garbled = true;
            break;
          }
          if (!line.empty() && line.back() == '\r') line.pop_back();
          if (state == State::kSize) {
            size_line();
          } else if (line.empty()) {
            state = State::kDone;
          }
          line.clear();
          break;
        case State::kData: {
          const size_t take = std::min(left, length - at);
          const size_t room = kHttpBodyMax - body.size();
          body.append(data + at, std::min(take, room));
          at += take;
          left -= take;
          if (body.size() == kHttpBodyMax) {
            whole = true;  // the cap is the end, as for a Content-Length past it
            state = State::kDone;
          } else if (left == 0) {
            state = State::kDataEnd;
          }
          break;
        }
        case State::kDataEnd:
          ++at;
          if (c == '\n') {
            state = State::kSize;
          } else if (c != '\r') {
            garbled = true;
          }
          break;
        case State::kDone:
          break;
      }
    }
    return at;
  }

  void size_line() {
    size_t size = 0, digits = 0;
    for (char c : line) {
      int value = -1;
      if (c >= '0' && c <= '9') value = c - '0';
      if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
      if (value < 0) break;
      if (++digits > 8) break;  // past any size a body may have here
      size = size * 16 + static_cast<size_t>(value);
    }
    const size_t end = line.find_first_not_of("0123456789abcdefABCDEF");
    const bool rest_ok =
        end == std::string::npos || line[end] == ';' || line[end] == ' ' || line[end] == '\t';
    if (digits == 0 || digits > 8 || !rest_ok) {
      garbled = true;
    } else if (size == 0) {
      whole = true;
      state = State::kTrailer;
    } else {
      left = size;
      state = State::kData;
    }
  }
};

/// kOk with a chunked body as far as it came, decoded; `*whole` when its last chunk came.
/// What has arrived is looked at and exactly the chunks' bytes taken.
Error read_chunked_body(SocketHandle* socket, std::string* body, bool* whole) {
  Dechunker decoder;
  char buffer[4096];
  while (!decoder.finished()) {
    size_t seen = 0;
    Error error = tcp_peek(socket, buffer, sizeof(buffer), &seen, kHttpReadSeconds);
    if (error != Error::kOk) return error;
    if (seen == 0) break;  // closed or silent
    const size_t taken = decoder.feed(buffer, seen);
    size_t got = 0;
    error = tcp_receive(socket, buffer, taken, &got, kHttpReadSeconds);
    if (error != Error::kOk) return error;
    if (got < taken) break;
  }
  body->swap(decoder.body);
  *whole = decoder.whole;
  return Error::kOk;
}

/// Where the value of the head's first `name` line (upper case, with its colon) begins,
/// or npos.
size_t header_value_at(const std::string& upper_head, const char* name) {
  const std::string wanted = std::string("\r\n") + name;
  const size_t at = upper_head.find(wanted);
  return at == std::string::npos ? at : at + wanted.size();
}

/// The steps after the connect; the caller's Socket closes the connection.
Error exchange_on(SocketHandle* socket, const std::string& text, bool keep_refusal_body,
                  HttpResponse* response) {
  Error error = tcp_send_all(socket, text.data(), text.size());
  if (error != Error::kOk) return error;
  std::string head;
  error = read_head(socket, &head);
  if (error != Error::kOk) return error;
  // The connection ended before even the status line was whole: no answer came.
  if (head.find("\r\n") == std::string::npos) return Error::kHttpCutShort;
  int status = 0;
  error = http_status(head, &status);
  if (error != Error::kOk) return error;
  response->status = status;
  if (status != 200 && !keep_refusal_body) return Error::kHttpNotOk;
  std::string body;
  bool whole = true;
  if (http_is_chunked(head)) {
    error = read_chunked_body(socket, &body, &whole);
  } else {
    const size_t length = http_content_length(head);
    error = read_body(socket, length, &body);
    // Without a Content-Length the body runs to the close, and any length is whole.
    const bool announced =
        header_value_at(upper_copy(head), "CONTENT-LENGTH:") != std::string::npos;
    whole = !announced || body.size() == length;
  }
  if (error != Error::kOk) return error;
  response->body.swap(body);
  response->whole = whole;
  return status == 200 ? Error::kOk : Error::kHttpNotOk;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

Error url_split(const std::string& url, std::string* host, std::string* path, int* port) {
  char token[kUrlMax + 1];
  if (std::sscanf(url.c_str(), "http://%511s", token) != 1 &&
      std::sscanf(url.c_str(), "%511s", token) != 1) {
    return Error::kHttpBadUrl;
  }
  const char* slash = std::strchr(token, '/');
  if (slash == nullptr) return Error::kHttpBadUrl;
  const char* colon = std::strchr(token, ':');
  int value = 80;
  const char* host_end = slash;
  if (colon != nullptr && colon < slash) {
    host_end = colon;
    const size_t digits = static_cast<size_t>(slash - colon - 1);
    if (digits > 5) return Error::kHttpBadUrl;
    if (digits > 0) {
      value = 0;
      for (const char* c = colon + 1; c < slash; ++c) {
        if (!is_digit(*c)) return Error::kHttpBadUrl;
        value = value * 10 + (*c - '0');
      }
      if (value < 1 || value > 65535) return Error::kHttpBadUrl;
    }
  }
  return guard_allocation([&] {
    if (host != nullptr) host->assign(token, static_cast<size_t>(host_end - token));
    if (path != nullptr) path->assign(slash + 1);
    *port = value;
    return Error::kOk;
  });
}

std::string upper_copy(const std::string& text) {
  return text_upper_ascii(text);
}

HttpRequest http_get_request(const std::string& host, const std::string& path, int port) {
  HttpRequest request;
  request.method = "GET";
  request.host = host;
  request.port = port;
  request.path = path;
  return request;
}

HttpRequest http_post_request(const std::string& host, const std::string& path, int port,
                              const std::string& body) {
  HttpRequest request = http_get_request(host, path, port);
  request.method = "POST";
  request.body = body;
  return request;
}

Error http_request_text(const HttpRequest& request, std::string* text) {
  if (request.port < 0 || request.port > 65535) return Error::kHttpBadPort;
  return guard_allocation([&] {
    std::string out = request.method + " /" + request.path + " HTTP/1.1\r\nHOST: " + request.host +
                      ":" + std::to_string(request.port) + "\r\n";
    for (const HttpHeader& header : request.headers) {
      out += header.name + ": " + header.value + "\r\n";
    }
    out += "\r\n";
    out += request.body;
    text->swap(out);
    return Error::kOk;
  });
}

Error http_perform(const HttpRequest& request, bool keep_refusal_body, HttpResponse* response) {
  return guard_allocation([&] {
    std::string text;
    Error error = http_request_text(request, &text);
    if (error != Error::kOk) return error;
    Socket socket;
    error = tcp_connect(&socket, request.host, request.port, kHttpConnectSeconds);
    if (error != Error::kOk) return error;
    return exchange_on(socket.get(), text, keep_refusal_body, response);
  });
}

Error http_status(const std::string& head, int* status) {
  // "HTTP/1." and the minor version's digits, blanks, then a status code of exactly
  // three digits: a longer number is no status, and converting it could wrap into 200.
  const char* at = head.c_str();
  if (std::strncmp(at, "HTTP/1.", 7) != 0) return Error::kHttpBadStatusLine;
  at += 7;
  if (!is_digit(*at)) return Error::kHttpBadStatusLine;
  while (is_digit(*at)) ++at;
  if (*at != ' ' && *at != '\t') return Error::kHttpBadStatusLine;
  while (*at == ' ' || *at == '\t') ++at;
  int code = 0;
  for (int i = 0; i < 3; ++i, ++at) {
    if (!is_digit(*at)) return Error::kHttpBadStatusLine;
    code = code * 10 + (*at - '0');
  }
  if (is_digit(*at)) return Error::kHttpBadStatusLine;
  *status = code;
  return Error::kOk;
}

size_t http_content_length(const std::string& head) {
  const std::string upper = upper_copy(head);
  const size_t at = upper.find("CONTENT-LENGTH:");
  if (at == std::string::npos) return kHttpBodyMax;
  const char* number = head.c_str() + at + 15;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(number, &end, 10);
  // strtol saturates instead of overflowing; a negative length means no length at all.
  if (end == number || errno == ERANGE || value < 0 || value > static_cast<long>(kHttpBodyMax)) {
    return kHttpBodyMax;
  }
  return static_cast<size_t>(value);
}

bool http_is_chunked(const std::string& head) {
  const std::string upper = upper_copy(head);
  const size_t at = header_value_at(upper, "TRANSFER-ENCODING:");
  if (at == std::string::npos) return false;
  const size_t end = upper.find("\r\n", at);
  return upper.substr(at, end == std::string::npos ? std::string::npos : end - at)
             .find("CHUNKED") != std::string::npos;
}

std::string http_dechunk(const std::string& data, bool* whole) {
  Dechunker decoder;
  decoder.feed(data.data(), data.size());
  *whole = decoder.whole;
  return decoder.body;
}
