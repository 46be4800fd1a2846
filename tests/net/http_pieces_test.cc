// The response head read from a peer that sends it in pieces, each only once the client
// has taken the one before: the head must end exactly at its blank line, wherever the
// pieces fall, so that the body is read whole. Linked with the scripted system calls.
#include <gtest/gtest.h>

#include "net/http.h"
#include "tests/support/error_print.h"
#include "tests/support/scripted_socket.h"

namespace {

TEST(Http, HeadArrivingInPieces) {
  const std::vector<std::string> splits[] = {
      // The blank line split over two pieces, the body with the head's last piece.
      {"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r", "\nabc", "def"},
      // The blank line in pieces of a byte, the body in a piece of its own.
      {"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n", "\r", "\n", "abcdef"},
      {"HTTP/1.1 200 OK\r", "\nContent-Length: 6\r\n\r\nabcdef"},
      {"H", "TTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nab", "cdef"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 6\r", "\n", "\r\nabcdef"},
  };
  for (const std::vector<std::string>& pieces : splits) {
    scripted_peer(pieces);
    HttpResponse response;
    EXPECT_EQ(http_perform(http_get_request("10.0.0.1", "d.xml", 80), false, &response), Error::kOk)
        << pieces[0];
    EXPECT_EQ(response.status, 200) << pieces[0];
    EXPECT_EQ(response.body, "abcdef") << pieces[0];
    // Every piece after the first was sent because the client waited for it.
    EXPECT_EQ(scripted_waits(), static_cast<int>(pieces.size()) - 1) << pieces[0];
    EXPECT_EQ(scripted_request(), "GET /d.xml HTTP/1.1\r\nHOST: 10.0.0.1:80\r\n\r\n");
  }
}

// What a read of a description is judged by when it is slow: every byte, head and body,
// counted as it comes, whatever way the pieces fall.
TEST(Http, ExchangeCountsEveryByteItReceives) {
  const std::vector<std::string> pieces = {"HTTP/1.1 200 OK\r\nContent-", "Length: 6\r\n\r\nab",
                                           "cd", "ef"};
  scripted_peer(pieces);
  HttpExchange exchange;
  ASSERT_EQ(http_exchange_start(http_get_request("10.0.0.1", "d.xml", 80), false, 5000, &exchange),
            Error::kOk);
  size_t counted = 0;
  for (int step = 0; step < 64 && !http_exchange_done(exchange); ++step) {
    std::vector<SocketWait> waits{http_exchange_wait(&exchange)};
    ASSERT_EQ(socket_wait_any(&waits, http_exchange_left_ms(exchange)), Error::kOk);
    http_exchange_step(&exchange);
    EXPECT_GE(exchange.bytes_received, counted);  // it only grows
    counted = exchange.bytes_received;
  }
  EXPECT_EQ(exchange.result, Error::kOk);
  EXPECT_EQ(exchange.response.body, "abcdef");
  size_t sent = 0;
  for (const std::string& piece : pieces) sent += piece.size();
  EXPECT_EQ(exchange.bytes_received, sent);
}

}  // namespace
