// HTTP parsing on the document extractor: pipelined requests and responses
// with bodies, split at every position, and the rules for framing
// (Content-Length digits and range, Transfer-Encoding), header names, bounded
// fields, and refused start and header lines. Messages are compared as the
// event strings of RecordingHttp ("M:method|target|version|status|reason|
// length|headers...", "B:body").
#include "utils/io/http_stream.hpp"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/document_stream_reference.hpp"

namespace {

using H = Parse_And_Process_HTTP_Stream;

std::string captureStderr(const std::function<void()>& action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

Events parse(H::ParseState state, const std::string& stream, std::string* err = nullptr) {
  RecordingHttp parser(state, 4096);
  const std::string messages = captureStderr([&] { parser.feed(stream); });
  if (err != nullptr) *err = messages;
  return parser.events;
}

TEST(HttpStream, PipelinedMessagesSplitAnywhere) {
  struct Case {
    H::ParseState state;
    std::string stream;
    Events expected;
  };
  const Case cases[] = {
      {H::READ_REQUEST,
       "GET /index.html HTTP/1.1\r\nHost: example.org\r\nAccept: */*\r\n\r\n"
       "POST /submit?a=1 HTTP/1.1\r\ncontent-length: 11\r\n\r\nhello world"
       "PUT /file HTTP/1.1\r\nCONTENT-LENGTH: 12\r\nX-Empty:\r\n\r\n\r\n\r\nbody\r\n\r\n"
       "\r\nDELETE /x HTTP/1.1\nContent-Length: 0\n\r\n\r\n",
       {"M:GET|/index.html|HTTP/1.1|||0|Host=example.org|Accept=*/*",
        "M:POST|/submit?a=1|HTTP/1.1|||11|content-length=11", "B:hello world",
        "M:PUT|/file|HTTP/1.1|||12|CONTENT-LENGTH=12|X-Empty=", "B:\r\n\r\nbody\r\n\r\n",
        "M:DELETE|/x|HTTP/1.1|||0|Content-Length=0"}},
      {H::READ_RESPONSE,
       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
       "HTTP/1.1 404 Not Found Here\r\nServer:  x y \t\r\n\r\nHTTP/1.0 204\r\n\r\n",
       {"M:||HTTP/1.1|200|OK|5|Content-Length=5", "B:hello",
        "M:||HTTP/1.1|404|Not Found Here|0|Server=x y", "M:||HTTP/1.0|204||0"}},
  };
  for (const Case& c : cases) {
    const size_t n = c.stream.size();
    for (size_t i = 0; i <= n; ++i) {
      for (size_t piece : {size_t{1}, size_t{3}, n}) {  // a split at i, then pieces
        RecordingHttp parser(c.state, 16);
        parser.feed(c.stream.substr(0, i));
        for (size_t at = i; at < n; at += piece) parser.feed(c.stream.substr(at, piece));
        ASSERT_EQ(parser.events, c.expected) << "split at " << i << ", pieces of " << piece;
        ASSERT_EQ(parser.parseState, c.state);
      }
    }
  }
}

TEST(HttpStream, ContentLengthMustBeDigitsUpTo2To31Minus1) {
  struct Case {
    std::string header;
    std::string lengthAndBody;  // the message's length field and what follows it
    const char* message;        // on standard error, or null for none
  };
  const Case cases[] = {
      {"Content-Length:  0005 ", "5|Content-Length=0005;B:hello", nullptr},
      {"Content-Length: 0", "0|Content-Length=0", nullptr},
      {"Content-Length: 2147483647", "2147483647|Content-Length=2147483647",
       "Block of 2147483647 bytes over the pending limit"},
      {"Content-Length: 2147483648", "-1|Content-Length=2147483648", "Bad HTTP Content-Length \"2147483648\""},
      {"Content-Length: 99999999999999999999", "-1|Content-Length=99999999999999999999", "Bad HTTP Content-Length"},
      {"Content-Length: -1", "-1|Content-Length=-1", "Bad HTTP Content-Length \"-1\""},
      {"Content-Length: 0x10", "-1|Content-Length=0x10", "Bad HTTP Content-Length"},
      {"Content-Length:", "-1|Content-Length=", "Bad HTTP Content-Length \"\""},
      {"Content-Length: 5\r\nContent-Length: 5", "-1|Content-Length=5, 5", "Bad HTTP Content-Length \"5, 5\""},
      {"Transfer-Encoding: chunked", "0|Transfer-Encoding=chunked",
       "HTTP Transfer-Encoding \"chunked\" not supported; body not taken"},
  };
  for (const Case& c : cases) {
    std::string err;
    const Events events = parse(H::READ_REQUEST, "POST /p HTTP/1.1\r\n" + c.header + "\r\n\r\nhello", &err);
    std::string joined;
    for (const std::string& e : events) joined += (joined.empty() ? "" : ";") + e;
    EXPECT_EQ(joined.substr(joined.find("|||") + 3), c.lengthAndBody) << c.header;
    if (c.message != nullptr) {
      EXPECT_NE(err.find(c.message), std::string::npos) << err;
    } else {
      EXPECT_EQ(err, "") << c.header;
    }
  }
}

TEST(HttpStream, HeaderNamesCompareWithoutCase) {
  RecordingHttp parser(H::READ_REQUEST);
  parser.feed("GET / HTTP/1.1\r\nHost: h\r\nAccept: a\r\nACCEPT: b\r\n\r\n");
  const std::pair<const char*, const char*> cases[] = {
      {"host", "h"}, {"HOST", "h"}, {"accept", "a, b"}, {"Hos", nullptr}, {"Hostx", nullptr}};
  for (const auto& [name, value] : cases) {
    const char* found = parser.findHeaderAttribute(name);
    EXPECT_STREQ(found, value) << name;
  }
  parser.feed("GET /2 HTTP/1.1\r\nOther: o\r\n\r\n");  // a new message starts empty
  EXPECT_EQ(parser.findHeaderAttribute("Host"), nullptr);
  EXPECT_STREQ(parser.findHeaderAttribute("other"), "o");
}

TEST(HttpStream, FixedFieldsTakeBoundedCopies) {
  const std::string method(20, 'M');
  const std::string target = "/" + std::string(1999, 'u');
  const std::string version = "HTTP/1.1" + std::string(10, '1');
  std::string err;
  Events events = parse(H::READ_REQUEST, method + " " + target + " " + version + "\r\n\r\n", &err);
  EXPECT_EQ(events, (Events{"M:" + method.substr(0, 15) + "|" + target.substr(0, 1023) + "|" +
                            version.substr(0, 15) + "|||0"}));
  for (const char* cut : {"HTTP method of 20 bytes cut to 15", "HTTP request target of 2000 bytes cut to 1023",
                          "HTTP version of 18 bytes cut to 15"}) {
    EXPECT_NE(err.find(cut), std::string::npos) << err;
  }
  events = parse(H::READ_RESPONSE, "HTTP/1.1 500 " + std::string(60, 'r') + "\r\n\r\n", &err);
  EXPECT_EQ(events, (Events{"M:||HTTP/1.1|500|" + std::string(47, 'r') + "|0"}));
  EXPECT_NE(err.find("HTTP reason of 60 bytes cut to 47"), std::string::npos) << err;
}

TEST(HttpStream, RefusedLinesAreReported) {
  struct Case {
    H::ParseState state;
    std::string lines;  // start line and header lines, each ended by CR LF
    Events expected;    // for the message followed by an empty line and "abc"
    const char* message;
  };
  const char* noMessage = "M:|||||0";
  const Case cases[] = {
      {H::READ_REQUEST, "GET /x\r\nContent-Length: 3\r\n", {noMessage}, "Bad HTTP request line: \"GET /x\""},
      {H::READ_REQUEST, "GET  HTTP/1.1\r\n", {noMessage}, "Bad HTTP request line"},
      {H::READ_REQUEST, " /x HTTP/1.1\r\n", {noMessage}, "Bad HTTP request line"},
      {H::READ_REQUEST, "GET /x FTP/1.0\r\n", {noMessage}, "Bad HTTP request line"},
      {H::READ_RESPONSE, "HTTP/1.1 20 OK\r\n", {noMessage}, "Bad HTTP status line"},
      {H::READ_RESPONSE, "HTTP/1.1 2x0 OK\r\n", {noMessage}, "Bad HTTP status line"},
      {H::READ_RESPONSE, "HTTX/1.1 200 OK\r\n", {noMessage}, "Bad HTTP status line"},
      {H::READ_RESPONSE, "HTTP/1.1\r\n", {noMessage}, "Bad HTTP status line: \"HTTP/1.1\""},
      {H::READ_REQUEST, "GET / HTTP/1.1\r\nA: 1\r\n folded: x\r\nB: 2\r\n", {"M:GET|/|HTTP/1.1|||0|A=1|B=2"},
       "HTTP header line ignored (folded line): \" folded: x\""},
      {H::READ_REQUEST, "GET / HTTP/1.1\r\nNoColon\r\n", {"M:GET|/|HTTP/1.1|||0"}, "(no colon)"},
      {H::READ_REQUEST, "GET / HTTP/1.1\r\n: empty\r\n", {"M:GET|/|HTTP/1.1|||0"}, "(empty name)"},
      {H::READ_REQUEST, "GET / HTTP/1.1\r\nContent-Length : 3\r\n", {"M:GET|/|HTTP/1.1|||0"},
       "(white space in the name)"},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(parse(c.state, c.lines + "\r\nabc", &err), c.expected) << c.lines;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.lines << err;
  }
}

}  // namespace
