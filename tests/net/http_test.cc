#include "net/http.h"

#include <gtest/gtest.h>

#include "tests/support/dechunk.h"
#include "tests/support/error_print.h"
#include "tests/support/loopback_server.h"

namespace {

struct SplitCase {
  const char* url;
  Error result;
  const char* host;
  int port;
  const char* path;
};

TEST(Http, UrlSplit) {
  const SplitCase cases[] = {
      {"http://192.168.0.1:5000/desc.xml", Error::kOk, "192.168.0.1", 5000, "desc.xml"},
      {"192.168.0.1/x", Error::kOk, "192.168.0.1", 80, "x"},
      {"http://192.168.0.1", Error::kHttpBadUrl, "", 0, ""},
      {"http://h:49152/x", Error::kOk, "h", 49152, "x"},  // router ports from 49152 up
      {"http://h:65535/x", Error::kOk, "h", 65535, "x"},
      {"http://h:65536/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://h:0/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://h:123456/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://h:8a/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://h:-1/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://h:/x", Error::kOk, "h", 80, "x"},
      {"h/a:b", Error::kOk, "h", 80, "a:b"},
      {"10.0.0.1:2869/upnp/control/WANIPConn1", Error::kOk, "10.0.0.1", 2869,
       "upnp/control/WANIPConn1"},
      {"   h:81/p q", Error::kOk, "h", 81, "p"},
      {"", Error::kHttpBadUrl, "", 0, ""},
      {"   ", Error::kHttpBadUrl, "", 0, ""},
      // IPv6 hosts in brackets, a zone written as a URL writes it.
      {"http://[2001:db8::1]:5000/rootDesc.xml", Error::kOk, "2001:db8::1", 5000, "rootDesc.xml"},
      {"[fe80::1%25eth0]/ctl", Error::kOk, "fe80::1%eth0", 80, "ctl"},
      {"http://[2001:db8::1]/x", Error::kOk, "2001:db8::1", 80, "x"},
      {"http://[2001:db8::1/x]", Error::kHttpBadUrl, "", 0, ""},
      {"http://[2001:db8::1]x/y", Error::kHttpBadUrl, "", 0, ""},
      {"http://[]:80/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://[router]:80/x", Error::kHttpBadUrl, "", 0, ""},  // brackets hold IPv6 alone
      {"http://[10.0.0.1]:80/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://[2001:db8::zz]:80/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://[2001:db8::1:80/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://[fe80::1%25]:80/x", Error::kHttpBadUrl, "", 0, ""},
      {"http://[FE80::1%25eth0]:80/x", Error::kOk, "FE80::1%eth0", 80, "x"},
      {"http://[fe80::1%eth0]/x", Error::kOk, "fe80::1%eth0", 80, "x"},  // as some devices write it
      {"http://[::ffff:10.0.0.1]:80/x", Error::kOk, "::ffff:10.0.0.1", 80, "x"},
  };
  for (const SplitCase& c : cases) {
    std::string host = "unset", path = "unset";
    int port = -7;
    EXPECT_EQ(url_split(c.url, &host, &path, &port), c.result) << c.url;
    if (c.result == Error::kOk) {
      EXPECT_EQ(host, c.host) << c.url;
      EXPECT_EQ(port, c.port) << c.url;
      EXPECT_EQ(path, c.path) << c.url;
    }
  }
  // The token is cut after 511 characters before it is split.
  std::string long_url = "http://h/" + std::string(600, 'p');
  std::string path;
  int port = 0;
  ASSERT_EQ(url_split(long_url, nullptr, &path, &port), Error::kOk);
  EXPECT_EQ(path.size(), 511u - 2);
}

TEST(Http, UrlParseAndWriteAgree) {
  // The writer's text parses to the same parts; a zone is written "%25zone".
  for (const char* text : {"http://10.0.0.1:5000/d.xml", "http://[fe80::1%25eth0]:80/ctl?a=1",
                           "http://[2001:db8::1]:49152/", "http://h:1/a:b"}) {
    Url url;
    ASSERT_EQ(url_parse(text, &url), Error::kOk) << text;
    EXPECT_EQ(url_text(url), text);
  }
  Url url;
  ASSERT_EQ(url_parse("[FE80::1%25eth0]/x", &url), Error::kOk);
  EXPECT_EQ((url.host + "|" + url.zone), "FE80::1|eth0");
  EXPECT_TRUE(url_host_link_local(url));
  ASSERT_EQ(url_parse("[fec0::1]/x", &url), Error::kOk);  // past fe80::/10
  EXPECT_FALSE(url_host_link_local(url));
}

struct HostCase {
  const char* url;
  const char* refusal;  // null: a host a router may be at
};

TEST(Http, HostsNoRouterIsAt) {
  const HostCase cases[] = {
      {"http://127.0.0.1:5555/", "a loopback address"},
      {"http://127.1:5555/", "a loopback address"},
      {"http://0x7f.0.0.1/", "a loopback address"},
      {"http://2130706433/", "a loopback address"},
      {"http://017700000001/", "a loopback address"},
      {"http://LocalHost./", "a loopback address"},
      {"http://[::1]/", "a loopback address"},
      {"http://[::ffff:127.0.0.2]/", "a loopback address"},
      {"http://0.0.0.0/", "an unspecified address"},
      {"http://0/", "an unspecified address"},
      {"http://[::]/", "an unspecified address"},
      {"http://239.255.255.250:1900/", "a multicast address"},
      {"http://[FF02::1]/", "a multicast address"},
      {"http://255.255.255.255/", "a broadcast address"},
      // The controls: hosts of a LAN, names, and what only looks like the above.
      {"http://192.168.1.1:5000/", nullptr},
      {"http://10.58.0.5/", nullptr},
      {"http://[fe80::1%25eth0]/", nullptr},
      {"http://[2001:db8::1]/", nullptr},
      {"http://router.lan/", nullptr},
      {"http://127.0.0.1.example/", nullptr},
      {"http://1.2.3.4.5/", nullptr},
      {"http://[::2]/", nullptr},
  };
  for (const HostCase& c : cases) {
    Url url;
    ASSERT_EQ(url_parse(c.url, &url), Error::kOk) << c.url;
    const char* refusal = url_host_refusal(url);
    EXPECT_EQ(std::string(refusal != nullptr ? refusal : "-"),
              std::string(c.refusal != nullptr ? c.refusal : "-"))
        << c.url;
  }
}

TEST(Http, HostAndPortAsUrlsAndHostLinesWriteThem) {
  EXPECT_EQ(http_host_port("10.0.0.1", 80), "10.0.0.1:80");
  EXPECT_EQ(http_host_port("2001:db8::1", 5000), "[2001:db8::1]:5000");
  EXPECT_EQ(http_host_port("fe80::1%3", 5000), "[fe80::1%253]:5000");
  std::string text;
  ASSERT_EQ(http_request_text(http_get_request("fe80::1%3", "d.xml", 5000), &text), Error::kOk);
  EXPECT_EQ(text, "GET /d.xml HTTP/1.1\r\nHOST: [fe80::1]:5000\r\n\r\n");
}

TEST(Http, RequestTexts) {
  std::string text;
  ASSERT_EQ(http_request_text(http_get_request("10.0.0.1", "d.xml", 80), &text), Error::kOk);
  EXPECT_EQ(text, "GET /d.xml HTTP/1.1\r\nHOST: 10.0.0.1:80\r\n\r\n");
  EXPECT_EQ(http_request_text(http_get_request("h", "x", -1), &text), Error::kHttpBadPort);
  EXPECT_EQ(http_request_text(http_get_request("h", "x", 65536), &text), Error::kHttpBadPort);

  HttpRequest post = http_post_request("h", "ctl", 49152, "BODY");
  ASSERT_EQ(http_request_text(post, &text), Error::kOk);
  EXPECT_EQ(text, "POST /ctl HTTP/1.1\r\nHOST: h:49152\r\n\r\nBODY");
  // Headers go out in the order they stand.
  post.headers = {
      {"SOAPACTION", "\"a#b\""}, {"CONTENT-TYPE", "text/xml"}, {"Content-Length", "    4"}};
  ASSERT_EQ(http_request_text(post, &text), Error::kOk);
  EXPECT_EQ(text,
            "POST /ctl HTTP/1.1\r\nHOST: h:49152\r\nSOAPACTION: \"a#b\"\r\n"
            "CONTENT-TYPE: text/xml\r\nContent-Length:     4\r\n\r\nBODY");
}

TEST(Http, StatusAndContentLength) {
  int status = 0;
  EXPECT_EQ(http_status("HTTP/1.1 200 OK\r\n\r\n", &status), Error::kOk);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(http_status("HTTP/1.0 404 Not Found\r\n\r\n", &status), Error::kOk);
  EXPECT_EQ(status, 404);
  EXPECT_EQ(http_status("HTTP/2 200\r\n\r\n", &status), Error::kHttpBadStatusLine);
  EXPECT_EQ(http_status("ICY 200 OK\r\n\r\n", &status), Error::kHttpBadStatusLine);
  // A code that is not three digits is no status at all: converted, 4294967496 would
  // wrap into 200 and a refusal would read as success.
  for (const char* line : {"HTTP/1.1 4294967496 OK\r\n", "HTTP/1.1 2000 OK\r\n",
                           "HTTP/1.1 20 OK\r\n", "HTTP/1.1 +200 OK\r\n", "HTTP/1.1 -200\r\n",
                           "HTTP/1. 200 OK\r\n", "HTTP/1.1200 OK\r\n", "HTTP/1.1\r\n200 OK\r\n"}) {
    status = -1;
    EXPECT_EQ(http_status(line, &status), Error::kHttpBadStatusLine) << line;
    EXPECT_EQ(status, -1) << line;
  }
  EXPECT_EQ(http_status("HTTP/1.1 718\r\n", &status), Error::kOk);
  EXPECT_EQ(status, 718);
  // The minor version is skipped, not converted: its length cannot wrap anything.
  EXPECT_EQ(http_status("HTTP/1.99999999999999999999 404 Not Found\r\n", &status), Error::kOk);
  EXPECT_EQ(status, 404);

  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\ncontent-length: 12\r\n\r\n"), 12u);
  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\nCoNtEnT-LeNgTh:7\r\n\r\n"), 7u);
  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\n\r\n"), 65536u);
  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n"), 65536u);
  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n"),
            65536u);
  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n"), 65536u);
  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n"), 65536u);
  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"), 0u);
  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\nContent-Length:"), 65536u);
  // The name counts at the start of a line only.
  EXPECT_EQ(http_content_length("HTTP/1.1 200 OK\r\nX-Content-Length: 3\r\n\r\n"), 65536u);
  EXPECT_EQ(
      http_content_length("HTTP/1.1 200 OK\r\nX-Content-Length: 3\r\nContent-Length: 9\r\n\r\n"),
      9u);
}

/// One GET against a server that answers `reply`.
struct GetResult {
  Error code;
  int status;
  std::string body;
  std::string request;
  int port;
};

GetResult get_once(ScriptedReply reply) {
  LoopbackServer server({reply});
  HttpResponse response;
  response.body = "unset";
  GetResult result{Error::kOk, 0, "", "", server.port()};
  result.code =
      http_perform(http_get_request("127.0.0.1", "desc.xml", server.port()), false, &response);
  result.status = response.status;
  result.body = response.body;
  std::vector<std::string> seen = server.requests();
  if (!seen.empty()) result.request = seen[0];
  return result;
}

TEST(Http, GetExchanges) {
  GetResult ok = get_once({http_ok("<root/>") + "trailing bytes past the length"});
  EXPECT_EQ(ok.code, Error::kOk);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "<root/>");
  EXPECT_EQ(ok.request,
            "GET /desc.xml HTTP/1.1\r\nHOST: 127.0.0.1:" + std::to_string(ok.port) + "\r\n\r\n");

  GetResult missing = get_once({"HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnope"});
  EXPECT_EQ(missing.code, Error::kHttpNotOk);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "unset");

  GetResult garbage = get_once({"SSH-2.0-OpenSSH\r\n\r\n"});
  EXPECT_EQ(garbage.code, Error::kHttpBadStatusLine);

  GetResult nothing = get_once({""});
  EXPECT_EQ(nothing.code, Error::kHttpNoHead);

  // No Content-Length: the body runs to the peer's close.
  GetResult to_close = get_once({"HTTP/1.0 200 OK\r\n\r\nall of it"});
  EXPECT_EQ(to_close.code, Error::kOk);
  EXPECT_EQ(to_close.body, "all of it");

  // A head cut short by the close is no answer, whatever its status line says.
  GetResult cut = get_once({"HTTP/1.1 200 OK\r\nContent-Length: 5"});
  EXPECT_EQ(cut.code, Error::kHttpCutShort);
  EXPECT_EQ(cut.body, "unset");

  // A longer announced length than what comes: what came, up to the close.
  GetResult short_body = get_once({"HTTP/1.1 200 OK\r\nContent-Length: 50000\r\n\r\nabc"});
  EXPECT_EQ(short_body.code, Error::kOk);
  EXPECT_EQ(short_body.body, "abc");
}

TEST(Http, HeadLimit) {
  // A head of 4095 bytes with its blank line fits; one of 4096 does not.
  std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX: ";
  std::string end = "\r\n\r\n";
  std::string fits = start + std::string(4095 - start.size() - end.size(), 'a') + end;
  ASSERT_EQ(fits.size(), 4095u);
  GetResult ok = get_once({fits + "hi"});
  EXPECT_EQ(ok.code, Error::kOk);
  EXPECT_EQ(ok.body, "hi");

  std::string too_long = start + std::string(4096 - start.size() - end.size(), 'a') + end;
  GetResult over = get_once({too_long + "hi"});
  EXPECT_EQ(over.code, Error::kHttpHeadTooLong);
  EXPECT_EQ(over.status, 0);
}

TEST(Http, BodyCapAndRefusedConnection) {
  GetResult capped =
      get_once({"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(70000, 'b')});
  EXPECT_EQ(capped.code, Error::kOk);
  EXPECT_EQ(capped.body.size(), 65536u);

  HttpResponse response;
  const int before = open_descriptor_count();
  EXPECT_EQ(
      http_perform(http_get_request("127.0.0.1", "x", closed_loopback_port()), false, &response),
      Error::kSocketConnectFailed);
  EXPECT_EQ(open_descriptor_count(), before);
}

std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(Http, ChunkedBodies) {
  const struct {
    const char* name;
    std::string data;
    std::string body;
    bool whole;
  } cases[] = {
      {"two chunks", "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world", true},
      {"sizes in either case, extensions", "A;x=1\r\n0123456789\r\nb\r\nabcdefghijk\r\n0\r\n\r\n",
       "0123456789abcdefghijk", true},
      {"trailers after the last chunk", "1\r\nx\r\n0\r\nX-T: 1\r\n\r\n", "x", true},
      {"last chunk without the blank line", "1\r\nx\r\n0\r\n", "x", true},
      {"no last chunk", "5\r\nhello\r\n", "hello", false},
      {"cut in a chunk", "a\r\nhello", "hello", false},
      {"garbled size", "5\r\nhello\r\nzz\r\nmore\r\n0\r\n\r\n", "hello", false},
      {"data longer than its size", "2\r\nhello\r\n0\r\n\r\n", "he", false},
      {"empty", "", "", false},
      // Past the byte budget: no stream of trailers or line ends keeps the decoder going.
      {"endless trailers", "1\r\nx\r\n0\r\n" + repeated("X: y\r\n", 50000), "x", false},
      {"endless CRs after data", "1\r\nx" + std::string(300000, '\r'), "x", false},
  };
  for (const auto& c : cases) {
    bool whole = !c.whole;
    EXPECT_EQ(http_dechunk(c.data, &whole), c.body) << c.name;
    EXPECT_EQ(whole, c.whole) << c.name;
  }
  // The cap holds for the decoded body, whatever the chunks announce.
  std::string big;
  for (int i = 0; i < 20; ++i) big += "1000\r\n" + std::string(4096, 'c') + "\r\n";
  bool whole = false;
  EXPECT_EQ(http_dechunk(big + "0\r\n\r\n", &whole).size(), 65536u);
  EXPECT_TRUE(whole);

  EXPECT_TRUE(http_is_chunked("HTTP/1.1 200 OK\r\ntransfer-encoding:  Chunked\r\n\r\n"));
  EXPECT_FALSE(http_is_chunked("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"));
  EXPECT_FALSE(http_is_chunked("HTTP/1.1 200 OK\r\nX-Note: chunked\r\n\r\n"));

  // Over a connection: decoded as it arrives, the connection's end telling a cut body.
  GetResult chunked =
      get_once({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n<r/>\r\n0\r\n\r\n"});
  EXPECT_EQ(chunked.code, Error::kOk);
  EXPECT_EQ(chunked.body, "<r/>");
}

TEST(Http, WholeBodiesAndCutConnections) {
  LoopbackServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc"},
                         {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"},
                         {"HTTP/1.0 200 OK\r\n\r\nto the close"},
                         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"},
                         {"HTTP/1.1 2"}});
  const struct {
    Error code;
    std::string body;
    bool whole;
  } expected[] = {{Error::kOk, "abc", false},
                  {Error::kOk, "abc", true},
                  {Error::kOk, "to the close", true},
                  {Error::kOk, "abc", false},
                  {Error::kHttpCutShort, "", true}};
  for (const auto& e : expected) {
    HttpResponse response;
    EXPECT_EQ(http_perform(http_get_request("127.0.0.1", "d", server.port()), false, &response),
              e.code);
    EXPECT_EQ(response.body, e.body);
    EXPECT_EQ(response.whole, e.whole) << e.body;
  }
}

TEST(Http, PostKeepsAnErrorBodyOnlyWhenAsked) {
  const std::string fault = "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n\r\nfault";
  LoopbackServer server({{fault}, {fault}});
  for (bool keep : {false, true}) {
    HttpResponse response;
    EXPECT_EQ(http_perform(http_post_request("127.0.0.1", "ctl", server.port(), "envelope"), keep,
                           &response),
              Error::kHttpNotOk);
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.body, keep ? "fault" : "");
  }
  EXPECT_EQ(server.requests().at(0).substr(0, 19), "POST /ctl HTTP/1.1\r");
}

}  // namespace
