// The HTTP client: request texts and the exchange itself.
#include "net/http.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/guard.h"
#include "base/limits.h"
#include "base/number.h"
#include "base/text.h"
#include "net/socket.h"

namespace {

/// Where the blank line that ends a head ends within `text`, looking from `from` on;
/// 0 when it is not there.
size_t end_of_head(const std::string& text, size_t from) {
  const size_t at = text.find("\r\n\r\n", from);
  return at == std::string::npos ? 0 : at + 4;
}

/// Where the value of the head's first `name` line (upper case, with its colon) begins,
/// or npos. The name counts only at the start of a line: "X-Content-Length:" is not
/// "Content-Length:".
size_t header_value_at(const std::string& upper_head, const char* name) {
  const std::string wanted = std::string("\r\n") + name;
  const size_t at = upper_head.find(wanted);
  return at == std::string::npos ? at : at + wanted.size();
}

void finish(HttpExchange* exchange, Error result) {
  exchange->result = result;
  exchange->stage = HttpExchange::Stage::kDone;
  exchange->socket.reset();
}

/// The body as far as it came, when the connection ended or the time ran out.
void finish_body(HttpExchange* exchange) {
  HttpResponse& response = exchange->response;
  if (exchange->chunked) {
    response.body.swap(exchange->chunks.body);
    response.whole = exchange->chunks.whole && !exchange->chunks.garbled;
  } else {
    // Without a Content-Length the body runs to the close, and any length is whole.
    response.whole = !exchange->announced || response.body.size() == exchange->length;
  }
  finish(exchange, response.status == 200 ? Error::kOk : Error::kHttpNotOk);
}

/// Takes body bytes; ends the exchange once the body is complete.
void take_body(HttpExchange* exchange, const char* data, size_t length) {
  if (exchange->chunked) {
    exchange->chunks.feed(data, length);
    if (exchange->chunks.finished()) finish_body(exchange);
    return;
  }
  std::string& body = exchange->response.body;
  body.append(data, std::min(length, exchange->length - body.size()));
  if (body.size() == exchange->length) finish_body(exchange);
}

/// Looks for the end of the head in what has come; once it is there, reads the status
/// and the body's framing and hands the bytes after it to the body.
void take_head(HttpExchange* exchange, bool ended) {
  std::string& received = exchange->received;
  const size_t end = end_of_head(received, 0);
  if (end == 0 || end > kHttpHeadMax) {
    if (received.size() > kHttpHeadMax) return finish(exchange, Error::kHttpHeadTooLong);
    if (!ended) return;
    if (received.empty()) return finish(exchange, Error::kHttpNoHead);
    // Cut before its blank line: whatever the status line says, no whole answer came.
    int status = 0;
    if (http_status(received, &status) == Error::kOk) exchange->response.status = status;
    return finish(exchange, Error::kHttpCutShort);
  }
  const std::string head = received.substr(0, end);
  const std::string rest = received.substr(end);
  received.clear();
  int status = 0;
  const Error error = http_status(head, &status);
  if (error != Error::kOk) return finish(exchange, error);
  exchange->response.status = status;
  if (status != 200 && !exchange->keep_refusal_body) return finish(exchange, Error::kHttpNotOk);
  exchange->stage = HttpExchange::Stage::kBody;
  exchange->chunked = http_is_chunked(head);
  exchange->length = http_content_length(head);
  exchange->announced =
      header_value_at(text_upper_ascii(head), "CONTENT-LENGTH:") != std::string::npos;
  if (!exchange->chunked && exchange->length == 0) return finish_body(exchange);
  take_body(exchange, rest.data(), rest.size());
  if (!http_exchange_done(*exchange) && ended) finish_body(exchange);
}

/// Reads what the socket has and moves the exchange on with it.
void receive_step(HttpExchange* exchange) {
  char buffer[4096];
  size_t got = 0;
  bool closed = false;
  const Error error =
      tcp_receive_some(exchange->socket.get(), buffer, sizeof(buffer), &got, &closed);
  if (error != Error::kOk) return finish(exchange, error);
  exchange->bytes_received += got;
  if (exchange->stage == HttpExchange::Stage::kHead) {
    exchange->received.append(buffer, got);
    return take_head(exchange, closed);
  }
  take_body(exchange, buffer, got);
  if (!http_exchange_done(*exchange) && closed) finish_body(exchange);
}

void send_step(HttpExchange* exchange) {
  size_t sent = 0;
  const Error error = tcp_send_some(exchange->socket.get(), exchange->text.data() + exchange->sent,
                                    exchange->text.size() - exchange->sent, &sent);
  if (error != Error::kOk) return finish(exchange, error);
  exchange->sent += sent;
  if (exchange->sent == exchange->text.size()) exchange->stage = HttpExchange::Stage::kHead;
}

/// The time is up: what came is judged as a close would have it, but a connect or a send
/// that did not end failed.
void time_up(HttpExchange* exchange) {
  exchange->timed_out = true;
  switch (exchange->stage) {
    case HttpExchange::Stage::kConnecting:
      return finish(exchange, Error::kSocketConnectFailed);
    case HttpExchange::Stage::kSending:
      return finish(exchange, Error::kSocketSendFailed);
    case HttpExchange::Stage::kHead:
      return take_head(exchange, true);
    case HttpExchange::Stage::kBody:
      return finish_body(exchange);
    case HttpExchange::Stage::kDone:
      return;
  }
}

}  // namespace

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
    // The Host line names no zone: it means something to this host alone.
    const std::string host = request.host.substr(0, request.host.find('%'));
    std::string out = request.method + " /" + request.path +
                      " HTTP/1.1\r\nHOST: " + http_host_port(host, request.port) + "\r\n";
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
    HttpExchange exchange;
    Error error =
        http_exchange_start(request, keep_refusal_body, kHttpExchangeSeconds * 1000, &exchange);
    // Every wait is the time left, so none is made at a zero timeout: a step at the end
    // closes the exchange.
    while (error == Error::kOk && !http_exchange_done(exchange)) {
      std::vector<SocketWait> waits{http_exchange_wait(&exchange)};
      error = socket_wait_any(&waits, http_exchange_left_ms(exchange));
      if (error == Error::kOk) http_exchange_step(&exchange);
    }
    if (error == Error::kOk) error = exchange.result;
    response->status = exchange.response.status;
    // A body only of an answer read whole or a refusal asked for.
    if (error == Error::kOk || (error == Error::kHttpNotOk && keep_refusal_body)) {
      response->body.swap(exchange.response.body);
      response->whole = exchange.response.whole;
    }
    return error;
  });
}

Error http_exchange_start(const HttpRequest& request, bool keep_refusal_body, int milliseconds,
                          HttpExchange* exchange) {
  return guard_allocation([&] {
    *exchange = HttpExchange();
    exchange->keep_refusal_body = keep_refusal_body;
    exchange->end = deadline_in(milliseconds);
    exchange->connect_end =
        deadline_sooner(exchange->end, deadline_in(kHttpConnectSeconds * 1000LL));
    exchange->run_end = request.deadline;
    if (deadline_passed(request.deadline)) {
      finish(exchange, Error::kSocketTimedOut);
      return Error::kSocketTimedOut;
    }
    Error error = http_request_text(request, &exchange->text);
    bool connected = false;
    if (error == Error::kOk) {
      error = tcp_connect_start(&exchange->socket, request.host, request.port, &connected);
    }
    if (error != Error::kOk) {
      finish(exchange, error);
      return error;
    }
    exchange->stage = connected ? HttpExchange::Stage::kSending : HttpExchange::Stage::kConnecting;
    return Error::kOk;
  });
}

SocketWait http_exchange_wait(HttpExchange* exchange) {
  const bool for_write = exchange->stage == HttpExchange::Stage::kConnecting ||
                         exchange->stage == HttpExchange::Stage::kSending;
  return SocketWait{exchange->socket.get(), for_write, false};
}

int http_exchange_left_ms(const HttpExchange& exchange) {
  const Deadline own =
      exchange.stage == HttpExchange::Stage::kConnecting ? exchange.connect_end : exchange.end;
  return deadline_left_ms(deadline_sooner(own, exchange.run_end), kHttpExchangeSeconds * 1000);
}

void http_exchange_step(HttpExchange* exchange) {
  const Error error = guard_allocation([&] {
    if (http_exchange_done(*exchange)) return Error::kOk;
    if (http_exchange_left_ms(*exchange) == 0) {
      // The run's end cuts the exchange off whatever came of it: what was read is not all.
      if (deadline_passed(exchange->run_end)) return Error::kSocketTimedOut;
      time_up(exchange);
      return Error::kOk;
    }
    // Stepped without a wait of its own: look, without blocking, whether it is ready.
    std::vector<SocketWait> waits{http_exchange_wait(exchange)};
    Error looked = socket_wait_any(&waits, 0);
    if (looked != Error::kOk) return looked;
    if (!waits[0].ready) return Error::kOk;
    switch (exchange->stage) {
      case HttpExchange::Stage::kConnecting:
        if (tcp_connect_result(exchange->socket.get()) != Error::kOk) {
          finish(exchange, Error::kSocketConnectFailed);
        } else {
          exchange->stage = HttpExchange::Stage::kSending;
        }
        break;
      case HttpExchange::Stage::kSending:
        send_step(exchange);
        break;
      case HttpExchange::Stage::kHead:
      case HttpExchange::Stage::kBody:
        receive_step(exchange);
        break;
      case HttpExchange::Stage::kDone:
        break;
    }
    return Error::kOk;
  });
  if (error != Error::kOk) finish(exchange, error);
}

Error http_status(const std::string& head, int* status) {
  // "HTTP/1." and the minor version's digits, blanks, then a status code of exactly
  // three digits: a longer number is no status, and converting it could wrap into 200.
  const char* at = head.c_str();
  if (std::strncmp(at, "HTTP/1.", 7) != 0) return Error::kHttpBadStatusLine;
  at += 7;
  if (!text_is_digit(*at)) return Error::kHttpBadStatusLine;
  while (text_is_digit(*at)) ++at;
  if (*at != ' ' && *at != '\t') return Error::kHttpBadStatusLine;
  while (*at == ' ' || *at == '\t') ++at;
  int code = 0;
  for (int i = 0; i < 3; ++i, ++at) {
    if (!text_is_digit(*at)) return Error::kHttpBadStatusLine;
    code = code * 10 + (*at - '0');
  }
  if (text_is_digit(*at)) return Error::kHttpBadStatusLine;
  *status = code;
  return Error::kOk;
}

size_t http_content_length(const std::string& head) {
  const size_t at = header_value_at(text_upper_ascii(head), "CONTENT-LENGTH:");
  if (at == std::string::npos) return kHttpBodyMax;
  const size_t end = head.find("\r\n", at);
  // A length that is no number, or past what is read at all, is no length.
  uint64_t value = 0;
  if (!number_read(head.substr(at, end == std::string::npos ? std::string::npos : end - at),
                   kHttpBodyMax, &value)) {
    return kHttpBodyMax;
  }
  return static_cast<size_t>(value);
}

bool http_is_chunked(const std::string& head) {
  const std::string upper = text_upper_ascii(head);
  const size_t at = header_value_at(upper, "TRANSFER-ENCODING:");
  if (at == std::string::npos) return false;
  const size_t end = upper.find("\r\n", at);
  return upper.substr(at, end == std::string::npos ? std::string::npos : end - at)
             .find("CHUNKED") != std::string::npos;
}

size_t HttpChunkDecoder::feed(const char* data, size_t length) {
  size_t at = 0;
  while (at < length && !finished()) {
    if (consumed >= kHttpChunkedMax) {
      garbled = true;
      break;
    }
    const size_t before = at;
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
        const size_t take = std::min({left, length - at, kHttpChunkedMax - consumed});
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
    consumed += at - before;
  }
  return at;
}

void HttpChunkDecoder::size_line() {
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
