// HTTP/1.1 message parsing on the document extractor: the header section of a
// request or response (start line, header lines, empty line) is one document
// ending in "\r\n\r\n"; a Content-Length body is the block that follows it.
// Messages may be pipelined and split anywhere across arrivals. The start line
// is parsed into fixed fields (bounded copies, cut with an io_warning when too
// long), the header lines into headerAttributes, and the body goes to
// processBlock. Bodies sent with a Transfer-Encoding (chunked) are not
// supported: the message is reported with an io_error and no body is taken.
//
// The header section ends at the first CR LF CR LF; the lines inside it may
// also end in LF alone, and empty lines before a start line are skipped. Not thread-safe: one parser is fed by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "utils/io/document_stream.hpp"

class Parse_And_Process_HTTP_Stream : public Extract_And_Process_Document_Stream {
 public:
  enum ParseState : int32_t {
    READ_RESPONSE = 1,      // the next document starts with a status line
    READ_REQUEST = 2,       // the next document starts with a request line
    READ_HEADER_LINE = 3,   // inside the header lines of a message
    READ_CONTENT_BODY = 4,  // waiting for the announced body
  };

  // Largest Content-Length taken (2^31 - 1).
  static constexpr uint32_t MAX_CONTENT_LENGTH = 0x7FFFFFFFu;

  // Header names with their values, in arrival order. Names compare without
  // regard to case; a repeated name gets the values joined with ", ". Storage
  // is kept between messages, so a parser allocates only while its messages
  // grow. Pointers handed out stay valid until the next add or clear.
  class HeaderAttributes {
   public:
    void clear();
    void add(const char* name, size_t nameLen, const char* value, size_t valueLen);
    // The value for name, or null.
    const char* find(const char* name) const;
    size_t size() const { return entries_.size(); }
    const char* nameAt(size_t i) const { return store_.data() + entries_[i].name; }
    const char* valueAt(size_t i) const { return store_.data() + entries_[i].value; }
    size_t valueLengthAt(size_t i) const { return entries_[i].valueLen; }

   private:
    struct Entry {
      size_t name;  // offsets into store_; both strings are NUL-terminated there
      size_t nameLen;
      size_t value;
      size_t valueLen;
    };
    const Entry* lookup(const char* name, size_t nameLen) const;
    std::string store_;
    std::vector<Entry> entries_;
  };

  ParseState parseState;
  ParseState restartParseState;  // READ_RESPONSE or READ_REQUEST
  char httpVersion[16];          // "HTTP/1.1"
  char statusCode[8];            // three digits, of a response
  char responseReason[48];       // may be empty
  char httpRequest[16];          // the method of a request
  char requestURL[1024];         // the request target
  int32_t contentLengthWanted;   // body bytes of the current message; -1: bad Content-Length
  HeaderAttributes headerAttributes;

  // startState is READ_RESPONSE (a client reading responses) or READ_REQUEST
  // (a server reading requests); other values are taken as READ_REQUEST with
  // an io_warning. initialBufferSize as for the extractor.
  Parse_And_Process_HTTP_Stream(size_t initialBufferSize, ParseState startState);
  ~Parse_And_Process_HTTP_Stream() override;

  // The value of the named header of the current message, or null.
  const char* findHeaderAttribute(const char* name) const;

  // One header section: clears the fields of the previous message, passes the
  // start line to processHTTPresponse or processHTTPrequest and every header
  // line to processHTTPheader. Returns the Content-Length (the body then goes
  // to processBlock), or 0: no Content-Length, a rejected start line, a
  // Content-Length that is not digits only or over MAX_CONTENT_LENGTH
  // (io_error, contentLengthWanted -1), or a Transfer-Encoding (io_error).
  int processDocument(unsigned char* document, size_t length) override;
  // The body of the current message. Base: returns parseState to
  // restartParseState, result 0. Overrides call it at their end.
  int_fast32_t processBlock(unsigned char* block, size_t length) override;
  // "HTTP-version SP status-code SP [reason]" (CR LF removed) into httpVersion,
  // statusCode and responseReason. Returns 0, or -1 with an io_error when the
  // line is not a status line.
  virtual int processHTTPresponse(unsigned char* line, size_t length);
  // "method SP request-target SP HTTP-version" into httpRequest, requestURL
  // and httpVersion. Returns 0, or -1 with an io_error.
  virtual int processHTTPrequest(unsigned char* line, size_t length);
  // "name: value" into headerAttributes (spaces and tabs around the value
  // removed). A line without a colon, with an empty name, with white space in
  // the name or starting with white space (folded) is ignored with an
  // io_warning; the result is then -1, else 0.
  virtual int processHTTPheader(unsigned char* line, size_t length);
};
