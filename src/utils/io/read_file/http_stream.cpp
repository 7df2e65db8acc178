// HTTP/1.1 header sections and Content-Length bodies on the document
// extractor. The header section is parsed in place (the extractor hands it
// over inside its pending buffer); only the fixed fields and the header
// store receive copies. Framing follows the message: a Content-Length of
// digits only up to 2^31 - 1 announces the body; anything else takes no body,
// so a malformed message cannot make the parser swallow the following ones
// on a guess.
#include <cstring>

#include "utils/base/compiler_hints.hpp"
#include "utils/io/http_stream.hpp"
#include "read_file_log.hpp"

namespace {

// Bytes of a bad line shown in a message.
constexpr size_t SHOWN_LINE_BYTES = 80;

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }

unsigned char lowerAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool equalIgnoringCase(const char* a, const char* b, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (lowerAscii(static_cast<unsigned char>(a[i])) != lowerAscii(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

ZUR_COLD void logCutField(const char* what, size_t length, size_t kept) {
  LOG_CERR(io_warning) << "HTTP " << what << " of " << static_cast<uint64_t>(length)
                       << " bytes cut to " << static_cast<uint64_t>(kept) << LOG_ENDLINE;
}

ZUR_COLD void logBadLine(const char* what, const unsigned char* line, size_t length) {
  const size_t shown = length < SHOWN_LINE_BYTES ? length : SHOWN_LINE_BYTES;
  LOG_CERR(io_error) << "Bad HTTP " << what << ": \""
                     << EscapedTextBlock_struct(reinterpret_cast<const char*>(line),
                                                static_cast<uint_fast32_t>(shown))
                     << "\"" << LOG_ENDLINE;
}

ZUR_COLD void logIgnoredHeader(const char* why, const unsigned char* line, size_t length) {
  const size_t shown = length < SHOWN_LINE_BYTES ? length : SHOWN_LINE_BYTES;
  LOG_CERR(io_warning) << "HTTP header line ignored (" << why << "): \""
                       << EscapedTextBlock_struct(reinterpret_cast<const char*>(line),
                                                  static_cast<uint_fast32_t>(shown))
                       << "\"" << LOG_ENDLINE;
}

ZUR_COLD void logBadContentLength(const char* value) {
  LOG_CERR(io_error) << "Bad HTTP Content-Length \"" << value
                     << "\" (digits up to 2147483647 expected); body not taken" << LOG_ENDLINE;
}

ZUR_COLD void logTransferEncoding(const char* value) {
  LOG_CERR(io_error) << "HTTP Transfer-Encoding \"" << value << "\" not supported; body not taken"
                     << LOG_ENDLINE;
}

// Bounded copy into a fixed field of `capacity` bytes, always terminated.
template <size_t N>
void copyField(char (&to)[N], const unsigned char* from, size_t length, const char* what) {
  size_t kept = length;
  if (ZUR_UNLIKELY(kept > N - 1)) {
    kept = N - 1;
    logCutField(what, length, kept);
  }
  if (kept > 0) std::memcpy(to, from, kept);
  to[kept] = 0;
}

// Content-Length value: digits only, at most MAX_CONTENT_LENGTH. Returns the
// value or -1.
int32_t parseContentLength(const char* text) {
  if (*text == 0) return -1;
  uint32_t value = 0;
  for (const char* p = text; *p != 0; ++p) {
    const auto digit = static_cast<uint32_t>(static_cast<unsigned char>(*p) - '0');
    if (digit > 9) return -1;
    if (value > (Parse_And_Process_HTTP_Stream::MAX_CONTENT_LENGTH - digit) / 10) return -1;
    value = value * 10 + digit;
  }
  return static_cast<int32_t>(value);
}

bool startsWithHttpSlash(const unsigned char* p, size_t length) {
  return length > 5 && std::memcmp(p, "HTTP/", 5) == 0;
}

// Cuts the next line out of [p, end): its length without the LF and one CR
// before it; *next is set past the LF (or to end when there is none).
size_t nextLine(const unsigned char* p, const unsigned char* end, const unsigned char** next) {
  const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
  const unsigned char* lineEnd = lf != nullptr ? static_cast<const unsigned char*>(lf) : end;
  *next = lf != nullptr ? lineEnd + 1 : end;
  size_t length = static_cast<size_t>(lineEnd - p);
  if (length > 0 && p[length - 1] == '\r') --length;
  return length;
}

}  // namespace

// ---- header store ----

void Parse_And_Process_HTTP_Stream::HeaderAttributes::clear() {
  store_.clear();
  entries_.clear();
}

const Parse_And_Process_HTTP_Stream::HeaderAttributes::Entry*
Parse_And_Process_HTTP_Stream::HeaderAttributes::lookup(const char* name, size_t nameLen) const {
  for (const Entry& e : entries_) {
    if (e.nameLen == nameLen && equalIgnoringCase(store_.data() + e.name, name, nameLen)) return &e;
  }
  return nullptr;
}

void Parse_And_Process_HTTP_Stream::HeaderAttributes::add(const char* name, size_t nameLen,
                                                          const char* value, size_t valueLen) {
  const Entry* existing = lookup(name, nameLen);
  if (existing != nullptr) {
    // The joined value goes to the end of the store; the old bytes stay unused
    // until the next clear.
    const size_t at = store_.size();
    const size_t oldValue = existing->value;
    const size_t oldLen = existing->valueLen;
    store_.append(store_, oldValue, oldLen);
    store_.append(", ", 2);
    store_.append(value, valueLen);
    store_.push_back(0);
    Entry& e = entries_[static_cast<size_t>(existing - entries_.data())];
    e.value = at;
    e.valueLen = oldLen + 2 + valueLen;
    return;
  }
  Entry e{};
  e.name = store_.size();
  e.nameLen = nameLen;
  store_.append(name, nameLen);
  store_.push_back(0);
  e.value = store_.size();
  e.valueLen = valueLen;
  store_.append(value, valueLen);
  store_.push_back(0);
  entries_.push_back(e);
}

const char* Parse_And_Process_HTTP_Stream::HeaderAttributes::find(const char* name) const {
  if (name == nullptr) return nullptr;
  const Entry* e = lookup(name, std::strlen(name));
  return e != nullptr ? store_.data() + e->value : nullptr;
}

// ---- parser ----

Parse_And_Process_HTTP_Stream::Parse_And_Process_HTTP_Stream(size_t initialBufferSize,
                                                             ParseState startState)
    : Extract_And_Process_Document_Stream("", "\r\n\r\n", initialBufferSize),
      parseState(startState),
      restartParseState(startState),
      httpVersion{},
      statusCode{},
      responseReason{},
      httpRequest{},
      requestURL{},
      contentLengthWanted(0),
      headerAttributes() {
  if (startState != READ_RESPONSE && startState != READ_REQUEST) {
    LOG_CERR(io_warning) << "HTTP parse state " << static_cast<int32_t>(startState)
                         << " cannot start a message; reading requests" << LOG_ENDLINE;
    parseState = restartParseState = READ_REQUEST;
  }
}

Parse_And_Process_HTTP_Stream::~Parse_And_Process_HTTP_Stream() = default;

const char* Parse_And_Process_HTTP_Stream::findHeaderAttribute(const char* name) const {
  return headerAttributes.find(name);
}

int Parse_And_Process_HTTP_Stream::processHTTPresponse(unsigned char* line, size_t length) {
  const unsigned char* end = line + length;
  const auto* sp1 = static_cast<const unsigned char*>(std::memchr(line, ' ', length));
  if (sp1 == nullptr || !startsWithHttpSlash(line, static_cast<size_t>(sp1 - line))) {
    logBadLine("status line", line, length);
    return -1;
  }
  const unsigned char* code = sp1 + 1;
  const auto* sp2 = static_cast<const unsigned char*>(std::memchr(code, ' ', static_cast<size_t>(end - code)));
  const unsigned char* codeEnd = sp2 != nullptr ? sp2 : end;
  bool codeOk = codeEnd - code == 3;
  for (const unsigned char* p = code; codeOk && p < codeEnd; ++p) codeOk = *p >= '0' && *p <= '9';
  if (!codeOk) {
    logBadLine("status line", line, length);
    return -1;
  }
  copyField(httpVersion, line, static_cast<size_t>(sp1 - line), "version");
  copyField(statusCode, code, 3, "status code");
  const unsigned char* reason = sp2 != nullptr ? sp2 + 1 : end;
  copyField(responseReason, reason, static_cast<size_t>(end - reason), "reason");
  return 0;
}

int Parse_And_Process_HTTP_Stream::processHTTPrequest(unsigned char* line, size_t length) {
  const unsigned char* end = line + length;
  const auto* sp1 = static_cast<const unsigned char*>(std::memchr(line, ' ', length));
  const unsigned char* sp2 = nullptr;
  for (const unsigned char* p = end; p > line; --p) {
    if (p[-1] == ' ') {
      sp2 = p - 1;
      break;
    }
  }
  // Three non-empty parts: method, target (may not hold a space), version.
  if (sp1 == nullptr || sp1 == line || sp2 == sp1 || sp2 - sp1 < 2 ||
      !startsWithHttpSlash(sp2 + 1, static_cast<size_t>(end - (sp2 + 1)))) {
    logBadLine("request line", line, length);
    return -1;
  }
  copyField(httpRequest, line, static_cast<size_t>(sp1 - line), "method");
  copyField(requestURL, sp1 + 1, static_cast<size_t>(sp2 - (sp1 + 1)), "request target");
  copyField(httpVersion, sp2 + 1, static_cast<size_t>(end - (sp2 + 1)), "version");
  return 0;
}

int Parse_And_Process_HTTP_Stream::processHTTPheader(unsigned char* line, size_t length) {
  if (length > 0 && isBlank(line[0])) {
    logIgnoredHeader("folded line", line, length);
    return -1;
  }
  const auto* colon = static_cast<const unsigned char*>(std::memchr(line, ':', length));
  if (colon == nullptr || colon == line) {
    logIgnoredHeader(colon == nullptr ? "no colon" : "empty name", line, length);
    return -1;
  }
  for (const unsigned char* p = line; p < colon; ++p) {
    if (isBlank(*p)) {
      logIgnoredHeader("white space in the name", line, length);
      return -1;
    }
  }
  const unsigned char* value = colon + 1;
  const unsigned char* valueEnd = line + length;
  while (value < valueEnd && isBlank(*value)) ++value;
  while (valueEnd > value && isBlank(valueEnd[-1])) --valueEnd;
  headerAttributes.add(reinterpret_cast<const char*>(line), static_cast<size_t>(colon - line),
                       reinterpret_cast<const char*>(value), static_cast<size_t>(valueEnd - value));
  return 0;
}

int Parse_And_Process_HTTP_Stream::processDocument(unsigned char* document, size_t length) {
  httpVersion[0] = statusCode[0] = responseReason[0] = httpRequest[0] = requestURL[0] = 0;
  headerAttributes.clear();
  contentLengthWanted = 0;
  parseState = restartParseState;

  const unsigned char* p = document;
  const unsigned char* end = document + length;
  while (p < end && (*p == '\r' || *p == '\n')) ++p;  // empty lines before a start line
  if (p == end) return 0;

  const unsigned char* next = nullptr;
  size_t lineLen = nextLine(p, end, &next);
  unsigned char* line = document + (p - document);
  const int started = restartParseState == READ_RESPONSE ? processHTTPresponse(line, lineLen)
                                                         : processHTTPrequest(line, lineLen);
  if (started < 0) {
    parseState = restartParseState;
    return 0;
  }
  parseState = READ_HEADER_LINE;
  for (p = next; p < end; p = next) {
    lineLen = nextLine(p, end, &next);
    if (lineLen == 0) break;  // the empty line that ends the header section
    processHTTPheader(document + (p - document), lineLen);
  }

  const char* transferEncoding = headerAttributes.find("Transfer-Encoding");
  if (ZUR_UNLIKELY(transferEncoding != nullptr)) {
    logTransferEncoding(transferEncoding);
    parseState = restartParseState;
    return 0;
  }
  const char* contentLength = headerAttributes.find("Content-Length");
  if (contentLength != nullptr) {
    contentLengthWanted = parseContentLength(contentLength);
    if (ZUR_UNLIKELY(contentLengthWanted < 0)) logBadContentLength(contentLength);
  }
  if (contentLengthWanted > 0) {
    parseState = READ_CONTENT_BODY;
    return contentLengthWanted;
  }
  parseState = restartParseState;
  return 0;
}

int_fast32_t Parse_And_Process_HTTP_Stream::processBlock(unsigned char* /*block*/, size_t /*length*/) {
  parseState = restartParseState;
  return 0;
}
