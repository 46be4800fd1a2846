// A minimal HTTP/1.1 client: one request per connection; the head up to its blank line, the
// body up to its Content-Length, or in chunks when it comes chunked, and never past 65536
// bytes. Only status 200 is a success. Every exchange has one deadline for all of it
// (connect, send, head and body), so a peer that trickles cannot hold it; several
// exchanges can run side by side, each stepped when its socket is ready. Failures of the
// socket layer pass through unchanged.
#ifndef PORTWRANGLER_NET_HTTP_H_
#define PORTWRANGLER_NET_HTTP_H_

#include <string>
#include <vector>

#include "base/clock.h"
#include "base/error.h"
#include "net/socket.h"
#include "net/url.h"

struct HttpHeader {
  std::string name;
  std::string value;
};

/// One request as it goes on the wire.
struct HttpRequest {
  std::string method;  // "GET" or "POST"
  std::string host;
  int port = 80;
  std::string path;                 // without its leading '/'
  std::vector<HttpHeader> headers;  // after the HOST line, in this order
  std::string body;
  Deadline deadline;  // the run's end: the exchange ends by it too, with kSocketTimedOut
};

/// What came back.
struct HttpResponse {
  int status = 0;     // the status code, 0 until a status line was read
  std::string body;   // the body of a 200 (or of a refusal, when asked for)
  bool whole = true;  // false: the connection ended short of the Content-Length or of the
                      // last chunk (some routers miscount: the caller judges the body)
};

/// A GET of `path` from host:port, without headers of its own.
HttpRequest http_get_request(const std::string& host, const std::string& path, int port);

/// A POST of `body` to `path` at host:port; headers are added after it, in wire order.
HttpRequest http_post_request(const std::string& host, const std::string& path, int port,
                              const std::string& body);

/// kOk with the request's text: the request line, "HOST: host:port" (the port always
/// written), its headers, a blank line and the body; kHttpBadPort for a port outside
/// 0..65535.
Error http_request_text(const HttpRequest& request, std::string* text);

/// One exchange over a connection of its own, within kHttpExchangeSeconds and the
/// request's deadline: kOk with the response of a 200; kHttpNotOk for any other status
/// (`response->status` holds it, and with `keep_refusal_body` its body is read too), or
/// the failing step's error: kHttpCutShort when the connection ended (or its own time ran
/// out) before the head was whole, kSocketTimedOut when the request's deadline passed
/// first, kSocketStopped at a stop.
Error http_perform(const HttpRequest& request, bool keep_refusal_body, HttpResponse* response);

/// The decoding of a chunked body, fed the bytes as they arrive. Every byte it takes
/// (sizes, extensions, line ends, trailers, data) counts against kHttpChunkedMax: no
/// stream of any of them keeps it going.
struct HttpChunkDecoder {
  enum class State { kSize, kData, kDataEnd, kTrailer, kDone };
  State state = State::kSize;
  std::string line;     // the line read so far (size or trailer)
  size_t left = 0;      // bytes of the current chunk still to come
  size_t consumed = 0;  // bytes taken in all
  std::string body;
  bool whole = false;
  bool garbled = false;

  bool finished() const { return state == State::kDone || garbled; }
  /// Takes bytes from `data` until the body is done; returns how many it took.
  size_t feed(const char* data, size_t length);
  void size_line();
};

/// One exchange in progress. Start it, wait on http_exchange_wait's socket for at most
/// http_exchange_left_ms, then step it, until it is done; `result` and `response` then
/// hold what came of it, as http_perform gives them.
struct HttpExchange {
  enum class Stage { kConnecting, kSending, kHead, kBody, kDone };
  Stage stage = Stage::kDone;
  Socket socket;
  std::string text;  // the request
  size_t sent = 0;
  bool keep_refusal_body = false;
  Deadline connect_end;
  Deadline end;
  Deadline run_end;           // the request's deadline
  std::string received;       // the head, until it is whole
  size_t bytes_received = 0;  // all the peer sent, head and body: how fast it comes
  bool chunked = false;
  bool announced = false;  // a Content-Length came
  size_t length = 0;       // the body's length, or the cap
  HttpChunkDecoder chunks;
  Error result = Error::kOk;
  bool timed_out = false;  // it ended because its time was up
  HttpResponse response;
};

/// Begins `request` with `milliseconds` for all of it: kOk, or the error that ended it at
/// once (`exchange` is then done with it as its result).
Error http_exchange_start(const HttpRequest& request, bool keep_refusal_body, int milliseconds,
                          HttpExchange* exchange);

/// What the exchange waits for next.
SocketWait http_exchange_wait(HttpExchange* exchange);

/// How long the exchange may still wait, in milliseconds (0 once its time is up): the
/// sooner of its own end and the request's deadline.
int http_exchange_left_ms(const HttpExchange& exchange);

/// Moves the exchange on with what its socket has, or ends it when its time is up.
void http_exchange_step(HttpExchange* exchange);

inline bool http_exchange_done(const HttpExchange& exchange) {
  return exchange.stage == HttpExchange::Stage::kDone;
}

/// kOk with the status code of a head beginning "HTTP/1.<minor> <code>", the code
/// exactly three digits; kHttpBadStatusLine.
Error http_status(const std::string& head, int* status);

/// The body length the head announces: its Content-Length (a line of that name, in any
/// letter case), or 65536 when it is absent, unreadable, negative or above 65536.
size_t http_content_length(const std::string& head);

/// Whether the head announces a chunked body (Transfer-Encoding naming chunked).
bool http_is_chunked(const std::string& head);

#endif  // PORTWRANGLER_NET_HTTP_H_
