// HTTP parsing on the document extractor: pipelined requests and responses
// with bodies, split at every position, and the framing rules (Content-Length
// digits and range, Transfer-Encoding), header names without case, bounded
// fields, and the start and header lines that are refused.
#include "utils/io/http_stream.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Message {
  std::string method, url, version, status, reason, headers, body;
  int32_t contentLength = 0;
  bool hasBody = false;
  bool operator==(const Message& o) const {
    return method == o.method && url == o.url && version == o.version && status == o.status &&
           reason == o.reason && headers == o.headers && body == o.body &&
           contentLength == o.contentLength && hasBody == o.hasBody;
  }
};

std::ostream& operator<<(std::ostream& os, const Message& m) {
  return os << "{" << m.method << "|" << m.url << "|" << m.version << "|" << m.status << "|"
            << m.reason << "|" << m.headers << "|len " << m.contentLength << "|"
            << (m.hasBody ? "body " + m.body : "no body") << "}";
}

// Records every parsed header section with its fields and headers (as
// "name=value;" in arrival order), and the body that follows it.
class RecordingHttp : public Parse_And_Process_HTTP_Stream {
 public:
  explicit RecordingHttp(ParseState state, size_t initialSize = 64)
      : Parse_And_Process_HTTP_Stream(initialSize, state) {}

  int processDocument(unsigned char* document, size_t length) override {
    const int body = Parse_And_Process_HTTP_Stream::processDocument(document, length);
    Message m;
    m.method = httpRequest;
    m.url = requestURL;
    m.version = httpVersion;
    m.status = statusCode;
    m.reason = responseReason;
    for (size_t i = 0; i < headerAttributes.size(); ++i) {
      m.headers += std::string(headerAttributes.nameAt(i)) + "=" + headerAttributes.valueAt(i) + ";";
    }
    m.contentLength = contentLengthWanted;
    messages.push_back(m);
    return body;
  }
  int_fast32_t processBlock(unsigned char* block, size_t length) override {
    EXPECT_EQ(parseState, READ_CONTENT_BODY);
    messages.back().body.assign(reinterpret_cast<const char*>(block), length);
    messages.back().hasBody = true;
    return Parse_And_Process_HTTP_Stream::processBlock(block, length);
  }
  int feed(const std::string& bytes) {
    return scanAndProcessBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  }

  std::vector<Message> messages;
};

std::string captureStderr(const std::function<void()>& action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

Message request(const char* method, const char* url, const char* headers, int32_t length,
                const char* body) {
  Message m;
  m.method = method;
  m.url = url;
  m.version = "HTTP/1.1";
  m.headers = headers;
  m.contentLength = length;
  m.hasBody = body != nullptr;
  m.body = body != nullptr ? body : "";
  return m;
}

Message response(const char* version, const char* status, const char* reason, const char* headers,
                 int32_t length, const char* body) {
  Message m;
  m.version = version;
  m.status = status;
  m.reason = reason;
  m.headers = headers;
  m.contentLength = length;
  m.hasBody = body != nullptr;
  m.body = body != nullptr ? body : "";
  return m;
}

struct StreamCase {
  const char* label;
  Parse_And_Process_HTTP_Stream::ParseState state;
  std::string stream;
  std::vector<Message> expected;
};

std::vector<StreamCase> streamCases() {
  return {
      {"pipelined requests",
       Parse_And_Process_HTTP_Stream::READ_REQUEST,
       "GET /index.html HTTP/1.1\r\nHost: example.org\r\nAccept: */*\r\n\r\n"
       "POST /submit?a=1 HTTP/1.1\r\nHost: example.org\r\ncontent-length: 11\r\n\r\nhello world"
       "PUT /file HTTP/1.1\r\nCONTENT-LENGTH: 12\r\nX-Empty:\r\n\r\n\r\n\r\nbody\r\n\r\n"
       "\r\nDELETE /x HTTP/1.1\nContent-Length: 0\n\r\n\r\n",
       {request("GET", "/index.html", "Host=example.org;Accept=*/*;", 0, nullptr),
        request("POST", "/submit?a=1", "Host=example.org;content-length=11;", 11, "hello world"),
        request("PUT", "/file", "CONTENT-LENGTH=12;X-Empty=;", 12, "\r\n\r\nbody\r\n\r\n"),
        request("DELETE", "/x", "Content-Length=0;", 0, nullptr)}},
      {"pipelined responses",
       Parse_And_Process_HTTP_Stream::READ_RESPONSE,
       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
       "HTTP/1.1 404 Not Found Here\r\nServer:  x y \t\r\n\r\n"
       "HTTP/1.0 204\r\n\r\n",
       {response("HTTP/1.1", "200", "OK", "Content-Length=5;", 5, "hello"),
        response("HTTP/1.1", "404", "Not Found Here", "Server=x y;", 0, nullptr),
        response("HTTP/1.0", "204", "", "", 0, nullptr)}},
  };
}

std::vector<Message> feedInPieces(const StreamCase& c, const std::vector<size_t>& cuts) {
  RecordingHttp parser(c.state, 16);
  size_t from = 0;
  for (size_t cut : cuts) {
    parser.feed(c.stream.substr(from, cut - from));
    from = cut;
  }
  parser.feed(c.stream.substr(from));
  EXPECT_EQ(parser.parseState, c.state);
  return parser.messages;
}

TEST(HttpStream, PipelinedMessagesSplitAnywhere) {
  for (const StreamCase& c : streamCases()) {
    const size_t n = c.stream.size();
    for (size_t i = 0; i <= n; ++i) {
      ASSERT_EQ(feedInPieces(c, {i}), c.expected) << c.label << ", split at " << i;
    }
    for (size_t i = 0; i <= n; i += 5) {
      for (size_t j = i; j <= n; ++j) {
        ASSERT_EQ(feedInPieces(c, {i, j}), c.expected) << c.label << ", split at " << i << ", " << j;
      }
    }
    for (size_t piece : {1, 2, 3, 7, 1448}) {
      std::vector<size_t> cuts;
      for (size_t at = piece; at < n; at += piece) cuts.push_back(at);
      ASSERT_EQ(feedInPieces(c, cuts), c.expected) << c.label << ", pieces of " << piece;
    }
  }
}

TEST(HttpStream, ContentLengthMustBeDigitsUpTo2To31Minus1) {
  struct Case {
    std::string headers;
    int32_t wanted;
    bool bodyTaken;
    const char* message;  // expected on stderr, or null
  };
  const Case cases[] = {
      {"Content-Length: 5\r\n", 5, true, nullptr},
      {"Content-Length:  5 \r\n", 5, true, nullptr},
      {"Content-Length: 0005\r\n", 5, true, nullptr},
      {"Content-Length: 0\r\n", 0, false, nullptr},
      {"Content-Length: 2147483647\r\n", 2147483647, false, "Block of 2147483647 bytes over the pending limit"},
      {"Content-Length: 2147483648\r\n", -1, false, "Bad HTTP Content-Length \"2147483648\""},
      {"Content-Length: 99999999999999999999\r\n", -1, false, "Bad HTTP Content-Length"},
      {"Content-Length: -1\r\n", -1, false, "Bad HTTP Content-Length \"-1\""},
      {"Content-Length: +5\r\n", -1, false, "Bad HTTP Content-Length"},
      {"Content-Length: 5a\r\n", -1, false, "Bad HTTP Content-Length"},
      {"Content-Length: 0x10\r\n", -1, false, "Bad HTTP Content-Length"},
      {"Content-Length:\r\n", -1, false, "Bad HTTP Content-Length \"\""},
      {"Content-Length: 5\r\nContent-Length: 5\r\n", -1, false, "Bad HTTP Content-Length \"5, 5\""},
      {"Transfer-Encoding: chunked\r\n", 0, false,
       "HTTP Transfer-Encoding \"chunked\" not supported; body not taken"},
      {"Content-Length: 5\r\nTransfer-Encoding: gzip, chunked\r\n", 0, false,
       "HTTP Transfer-Encoding \"gzip, chunked\" not supported"},
  };
  for (const Case& c : cases) {
    RecordingHttp parser(Parse_And_Process_HTTP_Stream::READ_REQUEST);
    const std::string err =
        captureStderr([&] { parser.feed("POST /p HTTP/1.1\r\n" + c.headers + "\r\nhello"); });
    ASSERT_EQ(parser.messages.size(), 1u) << c.headers;
    EXPECT_EQ(parser.messages[0].contentLength, c.wanted) << c.headers;
    EXPECT_EQ(parser.messages[0].hasBody, c.bodyTaken) << c.headers;
    if (c.message != nullptr) {
      EXPECT_NE(err.find(c.message), std::string::npos) << c.headers << err;
    } else {
      EXPECT_EQ(err, "") << c.headers;
    }
  }
}

TEST(HttpStream, HeaderNamesCompareWithoutCase) {
  RecordingHttp parser(Parse_And_Process_HTTP_Stream::READ_REQUEST);
  parser.feed("GET / HTTP/1.1\r\nHost: h\r\nAccept: a\r\nACCEPT: b\r\nx-id: 7\r\n\r\n");
  struct Case {
    const char* name;
    const char* value;
  };
  const Case cases[] = {
      {"host", "h"}, {"HOST", "h"}, {"accept", "a, b"}, {"X-Id", "7"}, {"Hos", nullptr}, {"Hostx", nullptr}};
  for (const Case& c : cases) {
    const char* found = parser.findHeaderAttribute(c.name);
    if (c.value == nullptr) {
      EXPECT_EQ(found, nullptr) << c.name;
    } else {
      ASSERT_NE(found, nullptr) << c.name;
      EXPECT_STREQ(found, c.value) << c.name;
    }
  }
  EXPECT_EQ(parser.messages[0].headers, "Host=h;Accept=a, b;x-id=7;");
  parser.feed("GET /2 HTTP/1.1\r\nOther: o\r\n\r\n");  // a new message starts empty
  EXPECT_EQ(parser.findHeaderAttribute("Host"), nullptr);
  EXPECT_STREQ(parser.findHeaderAttribute("other"), "o");
}

TEST(HttpStream, FixedFieldsTakeBoundedCopies) {
  const std::string longMethod(20, 'M');
  const std::string longUrl = "/" + std::string(1999, 'u');
  const std::string longReason(60, 'r');
  const std::string longVersion = "HTTP/1.1" + std::string(10, '1');
  RecordingHttp requests(Parse_And_Process_HTTP_Stream::READ_REQUEST, 4096);
  std::string err = captureStderr([&] {
    requests.feed(longMethod + " " + longUrl + " " + longVersion + "\r\n\r\n");
  });
  ASSERT_EQ(requests.messages.size(), 1u);
  EXPECT_EQ(requests.messages[0].method, longMethod.substr(0, 15));
  EXPECT_EQ(requests.messages[0].url, longUrl.substr(0, 1023));
  EXPECT_EQ(requests.messages[0].version, longVersion.substr(0, 15));
  EXPECT_NE(err.find("HTTP method of 20 bytes cut to 15"), std::string::npos) << err;
  EXPECT_NE(err.find("HTTP request target of 2000 bytes cut to 1023"), std::string::npos) << err;
  EXPECT_NE(err.find("HTTP version of 18 bytes cut to 15"), std::string::npos) << err;

  RecordingHttp responses(Parse_And_Process_HTTP_Stream::READ_RESPONSE);
  err = captureStderr([&] { responses.feed("HTTP/1.1 500 " + longReason + "\r\n\r\n"); });
  ASSERT_EQ(responses.messages.size(), 1u);
  EXPECT_EQ(responses.messages[0].reason, longReason.substr(0, 47));
  EXPECT_NE(err.find("HTTP reason of 60 bytes cut to 47"), std::string::npos) << err;
}

TEST(HttpStream, BadStartLinesAreRefusedWithoutBody) {
  struct Case {
    Parse_And_Process_HTTP_Stream::ParseState state;
    const char* startLine;
    const char* message;
  };
  const Case cases[] = {
      {Parse_And_Process_HTTP_Stream::READ_REQUEST, "GET /x", "Bad HTTP request line: \"GET /x\""},
      {Parse_And_Process_HTTP_Stream::READ_REQUEST, "GET  HTTP/1.1", "Bad HTTP request line"},
      {Parse_And_Process_HTTP_Stream::READ_REQUEST, " /x HTTP/1.1", "Bad HTTP request line"},
      {Parse_And_Process_HTTP_Stream::READ_REQUEST, "GET /x FTP/1.0", "Bad HTTP request line"},
      {Parse_And_Process_HTTP_Stream::READ_REQUEST, "GET /x HTTP/", "Bad HTTP request line"},
      {Parse_And_Process_HTTP_Stream::READ_RESPONSE, "HTTP/1.1 20 OK", "Bad HTTP status line"},
      {Parse_And_Process_HTTP_Stream::READ_RESPONSE, "HTTP/1.1 2000 OK", "Bad HTTP status line"},
      {Parse_And_Process_HTTP_Stream::READ_RESPONSE, "HTTP/1.1 2x0 OK", "Bad HTTP status line"},
      {Parse_And_Process_HTTP_Stream::READ_RESPONSE, "HTTX/1.1 200 OK", "Bad HTTP status line"},
      {Parse_And_Process_HTTP_Stream::READ_RESPONSE, "HTTP/1.1", "Bad HTTP status line: \"HTTP/1.1\""},
  };
  for (const Case& c : cases) {
    RecordingHttp parser(c.state);
    const std::string err = captureStderr(
        [&] { parser.feed(std::string(c.startLine) + "\r\nContent-Length: 3\r\n\r\nabc"); });
    ASSERT_EQ(parser.messages.size(), 1u) << c.startLine;
    EXPECT_FALSE(parser.messages[0].hasBody) << c.startLine;
    EXPECT_EQ(parser.messages[0].headers, "") << c.startLine;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.startLine << err;
  }
}

TEST(HttpStream, MalformedHeaderLinesAreIgnored) {
  struct Case {
    const char* line;
    const char* why;
  };
  const Case cases[] = {
      {" folded: x", "folded line"},
      {"\tfolded", "folded line"},
      {"NoColon", "no colon"},
      {": empty", "empty name"},
      {"Content-Length : 3", "white space in the name"},
  };
  for (const Case& c : cases) {
    RecordingHttp parser(Parse_And_Process_HTTP_Stream::READ_REQUEST);
    const std::string err = captureStderr(
        [&] { parser.feed("GET / HTTP/1.1\r\nA: 1\r\n" + std::string(c.line) + "\r\nB: 2\r\n\r\n"); });
    ASSERT_EQ(parser.messages.size(), 1u) << c.line;
    EXPECT_EQ(parser.messages[0].headers, "A=1;B=2;") << c.line;
    EXPECT_NE(err.find(std::string("HTTP header line ignored (") + c.why + ")"), std::string::npos)
        << c.line << err;
  }
}

TEST(HttpStream, OnlyRequestAndResponseCanStartAMessage) {
  std::unique_ptr<RecordingHttp> parser;
  const std::string err = captureStderr(
      [&] { parser.reset(new RecordingHttp(Parse_And_Process_HTTP_Stream::READ_CONTENT_BODY)); });
  EXPECT_EQ(parser->restartParseState, Parse_And_Process_HTTP_Stream::READ_REQUEST);
  EXPECT_NE(err.find("HTTP parse state 4 cannot start a message"), std::string::npos) << err;
}

}  // namespace
