// Reading binary records back (LogBinaryReader): every record is checked
// whole before anything of it is used (offsets, lengths, terminators, value
// sizes against the value blocks), then loaded into a message record whose
// pointers refer to the input bytes and rendered by the text renderer into a
// memory-only manager, so a record reads exactly as the text line its
// statement would have written. File names are kept once each in a set:
// the manager caches how much of a name it cuts by the name's address (a
// source prefix from $ST/$BT1.. may still match a stored name), so one address
// must name one text for good; the reader's pending bytes would not.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>

#include "log_render_line.hpp"
#include "utils/logging/log_binary.hpp"

namespace {

using LMR = LogMessageRecord;

constexpr uint32_t roundUp8(uint32_t n) { return (n + 7u) & ~7u; }

uint32_t load32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Bytes a value block must hold for its type and argLength; -1 for a text
// whose NUL must follow (checked separately).
uint32_t neededValueBytes(uint32_t type, uint32_t argLength) {
  switch (type) {
    case LMR::LOG_ARG_TYPE_INT32:
    case LMR::LOG_ARG_TYPE_UINT32:
    case LMR::LOG_ARG_TYPE_FLOAT:
      return 4;
    case LMR::LOG_ARG_TYPE_INT64:
    case LMR::LOG_ARG_TYPE_UINT64:
    case LMR::LOG_ARG_TYPE_DOUBLE:
    case LMR::LOG_ARG_TYPE_POSIX_NANOSECONDS:
    case LMR::LOG_ARG_TYPE_FIXED_POINT:
      return 8;
    case LMR::LOG_ARG_TYPE_TEXT:
    case LMR::LOG_ARG_TYPE_ROM_TEXT:
      return argLength == 0 ? 0 : argLength + 1;
    case LMR::LOG_ARG_TYPE_POINTER:
      return argLength == 0 ? 4 : argLength;
    case LMR::LOG_ARG_TYPE_BINARY:
    case LMR::LOG_ARG_TYPE_TEXT_FRAGMENT:
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT:
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT_UPPER:
      return argLength;
    default:  // CHAR and types this reader does not know: the inline value
      return argLength < LOG_BINARY_MAX_INLINE_VALUE ? argLength : LOG_BINARY_MAX_INLINE_VALUE;
  }
}

bool isHeldElsewhere(uint32_t type, uint32_t argLength) {
  switch (type) {
    case LMR::LOG_ARG_TYPE_TEXT:
    case LMR::LOG_ARG_TYPE_ROM_TEXT:
    case LMR::LOG_ARG_TYPE_BINARY:
    case LMR::LOG_ARG_TYPE_TEXT_FRAGMENT:
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT:
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT_UPPER:
      return true;
    case LMR::LOG_ARG_TYPE_POINTER:
      return argLength != 0;
    default:
      return false;
  }
}

// The conversion a value is shown with when the record has no format line.
const char* conversionFor(uint32_t type, uint32_t argLength) {
  switch (type) {
    case LMR::LOG_ARG_TYPE_INT32: return "%d";
    case LMR::LOG_ARG_TYPE_UINT32: return "%u";
    case LMR::LOG_ARG_TYPE_INT64: return "%ld";
    case LMR::LOG_ARG_TYPE_UINT64: return "%lu";
    case LMR::LOG_ARG_TYPE_FLOAT:
    case LMR::LOG_ARG_TYPE_DOUBLE: return "%g";
    case LMR::LOG_ARG_TYPE_CHAR: return "%c";
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT: return "%x";
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT_UPPER:
    case LMR::LOG_ARG_TYPE_BINARY: return "%X";
    case LMR::LOG_ARG_TYPE_POSIX_NANOSECONDS: return "%N";
    case LMR::LOG_ARG_TYPE_FIXED_POINT: return "%P";
    case LMR::LOG_ARG_TYPE_POINTER: return argLength == 0 ? "%p" : "%B";
    case LMR::LOG_ARG_TYPE_TEXT:
    case LMR::LOG_ARG_TYPE_ROM_TEXT:
    case LMR::LOG_ARG_TYPE_TEXT_FRAGMENT: return "%B";
    default: return "%lu";
  }
}

const char* typeName(uint32_t type) {
  switch (type) {
    case LMR::LOG_ARG_TYPE_INT32: return "INT32";
    case LMR::LOG_ARG_TYPE_UINT32: return "UINT32";
    case LMR::LOG_ARG_TYPE_INT64: return "INT64";
    case LMR::LOG_ARG_TYPE_UINT64: return "UINT64";
    case LMR::LOG_ARG_TYPE_FLOAT: return "FLOAT";
    case LMR::LOG_ARG_TYPE_DOUBLE: return "DOUBLE";
    case LMR::LOG_ARG_TYPE_CHAR: return "CHAR";
    case LMR::LOG_ARG_TYPE_BINARY: return "BINARY";
    case LMR::LOG_ARG_TYPE_TEXT: return "TEXT";
    case LMR::LOG_ARG_TYPE_POINTER: return "POINTER";
    case LMR::LOG_ARG_TYPE_TEXT_FRAGMENT: return "TEXT_FRAGMENT";
    case LMR::LOG_ARG_TYPE_ROM_TEXT: return "ROM_TEXT";
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT: return "HEX_FRAGMENT";
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT_UPPER: return "HEX_FRAGMENT_UPPER";
    case LMR::LOG_ARG_TYPE_POSIX_NANOSECONDS: return "POSIX_NANOSECONDS";
    case LMR::LOG_ARG_TYPE_FIXED_POINT: return "FIXED_POINT";
    default: return "UNKNOWN";
  }
}

// Text in double quotes with the default escapes (quote, newline, CR, tab,
// backspace, backslash); other control bytes as \xHH.
void appendQuoted(std::string& out, const char* text, size_t len) {
  const Escaped_Replacement_Characters& table = EscapedTextBlock_struct::defaultEscapePatterns;
  out += '"';
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (table.escapedLen[c] > 0) {
      out.append(table.escapedChar[c], static_cast<size_t>(table.escapedLen[c]));
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

}  // namespace

struct LogBinaryReader::Renderer {
  static constexpr size_t REGION_BYTES = 2 * (LogManager::MAX_LOG_LINE_LENGTH + 64) + 256;
  Renderer() : mgr(nullptr, -1, 0, "logcat", 0, LogManager::MAX_LOG_LINE_LENGTH, nullptr, REGION_BYTES) {
    mgr.setStripLeadingDirectories(0);  // names were pruned when written
    record = new (std::nothrow) LogMessageRecord(&mgr, 0, "", 0, 0);
  }
  ~Renderer() { delete record; }

  // Loads the checked record at p into `record`.
  void load(const unsigned char* p) {
    LogLineBinaryHeader h;
    std::memcpy(&h, p, sizeof h);
    LMR& r = *record;
    r.logMgr = &mgr;
    r.timestamp.tv_sec = static_cast<time_t>(h.nanosecondTimestamp / 1000000000u);
    r.timestamp.tv_nsec = static_cast<long>(h.nanosecondTimestamp % 1000000000u);
    r.threadId = h.threadId;
    r.sourceLine = h.lineNumber;
    // Routing bits would send the line to standard error or the system log.
    r.importanceLevel = h.importanceLevel & ~static_cast<uint32_t>(LMR::AND_SPECIAL_MASK);
    r.sourceFile = "";
    r.sourceFileNameLen = 0;
    if (h.logPrefixMask & LMR::LOG_FILENAME) {
      const auto stored = names.emplace(reinterpret_cast<const char*>(p + h.offsetFileName));
      r.sourceFile = stored.first->c_str();
      r.sourceFileNameLen = static_cast<uint32_t>(stored.first->size());
    }
    r.argCount = h.argumentCount;
    const bool withFormat = (h.logPrefixMask & LMR::LOG_BINARY_FORMAT_STRING) != 0;
    r.generatedOffset = 0;
    r.generatedFormatLine[0] = '\0';
    uint32_t at = h.offsetFirstArg;
    for (uint32_t i = 0; i < h.argumentCount; ++i) {
      LogLineBinaryValueHeader vh;
      std::memcpy(&vh, p + at, sizeof vh);
      const unsigned char* value = p + at + LogLineBinaryValueHeader::HEADER_LEN;
      LMR::ArgumentRecord& arg = r.argList[i];
      arg.argBaseType = static_cast<LMR::LogArgumentType>(vh.argType);
      arg.argLen = vh.argLength;
      arg.logArgs.u64 = 0;
      if (isHeldElsewhere(vh.argType, vh.argLength)) {
        arg.logArgs.ptr = value;
      } else if (vh.argType == LMR::LOG_ARG_TYPE_POINTER) {
        uint64_t bits = 0;
        std::memcpy(&bits, value, vh.offsetNextArg < 8 ? vh.offsetNextArg : 8);
        arg.logArgs.ptr = reinterpret_cast<const void*>(static_cast<uintptr_t>(bits));
      } else {
        std::memcpy(&arg.logArgs, value, neededValueBytes(vh.argType, vh.argLength));
      }
      if (!withFormat) appendConversion(i == 0 ? "" : " ", conversionFor(vh.argType, vh.argLength));
      at += LogLineBinaryValueHeader::HEADER_LEN + vh.offsetNextArg;
    }
    if (withFormat) {
      r.logLineFormat = reinterpret_cast<const char*>(p + h.offsetFormatString);
    } else {
      appendConversion("", "\n");
      r.logLineFormat = r.generatedFormatLine;
    }
  }

  void appendConversion(const char* before, const char* conversion) {
    LMR& r = *record;
    const size_t add = std::strlen(before) + std::strlen(conversion);
    if (r.generatedOffset + add + 1 > LMR::GENERATED_FORMAT_LINE_SIZE) return;
    std::memcpy(r.generatedFormatLine + r.generatedOffset, before, std::strlen(before));
    std::memcpy(r.generatedFormatLine + r.generatedOffset + std::strlen(before), conversion,
                std::strlen(conversion));
    r.generatedOffset += static_cast<uint32_t>(add);
    r.generatedFormatLine[r.generatedOffset] = '\0';
  }

  // Renders the loaded record with the prefix fields of prefixMask.
  void render(unsigned prefixMask, std::string& out) {
    size_t len = 0;
    SharedBufferAllocRecord* block = record->formatRecordAsText(prefixMask, &len, 0);
    if (block == nullptr) return;
    out.append(reinterpret_cast<const char*>(mgr.bufferAddress(block, nullptr)), len);
    mgr.returnBuffer(block);
  }

  LogManager mgr;
  LMR* record;
  std::unordered_set<std::string> names;
};

LogBinaryReader::LogBinaryReader(Mode readMode) : mode(readMode), renderer(new (std::nothrow) Renderer) {
  if (renderer == nullptr || renderer->record == nullptr) fail("no memory for the renderer");
}

LogBinaryReader::~LogBinaryReader() { delete renderer; }

bool LogBinaryReader::fail(const char* format, ...) {
  if (failed) return false;
  failed = true;
  va_list args;
  va_start(args, format);
  std::vsnprintf(error, sizeof error, format, args);
  va_end(args);
  return false;
}

int64_t LogBinaryReader::checkRecord(const unsigned char* p, size_t avail) {
  const unsigned long long at = static_cast<unsigned long long>(consumed);
  if (avail < LogLineBinaryHeader::HEADER_LEN) return 0;
  LogLineBinaryHeader h;
  std::memcpy(&h, p, sizeof h);
  if (h.formatVersion != LogLineBinaryHeader::LOG_LINE_BINARY_FORMAT_VER1) {
    fail("damaged record at byte offset %llu: format version 0x%02x", at, h.formatVersion);
    return -1;
  }
  if (h.byteOrder != LogLineBinaryHeader::LOG_LINE_BINARY_FORMAT_LE) {
    fail("damaged record at byte offset %llu: byte order 0x%02x is not little-endian ('L')", at, h.byteOrder);
    return -1;
  }
  const uint32_t len = h.logLineLength;
  if (len < LogLineBinaryHeader::HEADER_LEN || len % LOG_BINARY_ALIGNMENT != 0 || len > MAX_RECORD_LEN) {
    fail("damaged record at byte offset %llu: record length %u", at, len);
    return -1;
  }
  if (avail < len) return 0;
  auto bad = [&](const char* what) {
    fail("damaged record at byte offset %llu: %s", at, what);
    return -1;
  };
  if (h.offsetFileName != LogLineBinaryHeader::HEADER_LEN) return bad("file name offset is not 48");
  const uint32_t nameEnd = h.offsetFormatString;
  if (h.logPrefixMask & LMR::LOG_FILENAME) {
    if (nameEnd <= h.offsetFileName || nameEnd > len) return bad("file name offset out of the record");
    if (std::memchr(p + h.offsetFileName, 0, nameEnd - h.offsetFileName) != p + nameEnd - 1) {
      return bad("file name not terminated where the format line starts");
    }
  } else if (nameEnd != LogLineBinaryHeader::HEADER_LEN) {
    return bad("format line offset without a file name is not 48");
  }
  const uint32_t first = h.offsetFirstArg;
  if (h.logPrefixMask & LMR::LOG_BINARY_FORMAT_STRING) {
    if (first <= nameEnd || first > len) return bad("first value offset out of the record");
    const void* nul = std::memchr(p + nameEnd, 0, first - nameEnd);
    if (nul == nullptr) return bad("format line not terminated");
    const uint32_t formatEnd = static_cast<uint32_t>(static_cast<const unsigned char*>(nul) - p) + 1;
    if (first != roundUp8(formatEnd)) return bad("first value offset does not follow the format line");
  } else if (first != roundUp8(nameEnd) || first > len) {
    return bad("first value offset does not follow the file name");
  }
  if (h.argumentCount > LMR::LOG_MAX_ARGUMENT_TOTAL) return bad("more values than a record holds");
  uint32_t pos = first;
  for (uint32_t i = 0; i < h.argumentCount; ++i) {
    if (len - pos < LogLineBinaryValueHeader::HEADER_LEN) return bad("value header past the record's end");
    LogLineBinaryValueHeader vh;
    std::memcpy(&vh, p + pos, sizeof vh);
    if (vh.headerLen != LogLineBinaryValueHeader::HEADER_LEN) return bad("value header length is not 16");
    const uint32_t room = len - pos - LogLineBinaryValueHeader::HEADER_LEN;
    if (vh.offsetNextArg > room || vh.offsetNextArg % LOG_BINARY_ALIGNMENT != 0) {
      return bad("value block length out of the record");
    }
    const uint64_t needed = vh.argType == LMR::LOG_ARG_TYPE_TEXT || vh.argType == LMR::LOG_ARG_TYPE_ROM_TEXT
                                ? (vh.argLength == 0 ? 0 : static_cast<uint64_t>(vh.argLength) + 1)
                                : neededValueBytes(vh.argType, vh.argLength);
    if (needed > vh.offsetNextArg) return bad("value longer than its block");
    if (needed > 0 && (vh.argType == LMR::LOG_ARG_TYPE_TEXT || vh.argType == LMR::LOG_ARG_TYPE_ROM_TEXT) &&
        p[pos + LogLineBinaryValueHeader::HEADER_LEN + vh.argLength] != 0) {
      return bad("text value not terminated");
    }
    pos += LogLineBinaryValueHeader::HEADER_LEN + vh.offsetNextArg;
  }
  if (pos != len) return bad("values do not end at the record's length");
  return len;
}

void LogBinaryReader::renderText(const unsigned char* p, std::string& out) {
  renderer->load(p);
  renderer->render(p[offsetof(LogLineBinaryHeader, logPrefixMask)], out);
}

void LogBinaryReader::renderRaw(const unsigned char* p, std::string& out) {
  LogLineBinaryHeader h;
  std::memcpy(&h, p, sizeof h);
  char line[160];
  std::snprintf(line, sizeof line,
                "record %llu offset=%llu\nformatVersion=%c\nbyteOrder=%c\nlogPrefixMask=%u\nlogLineLength=%u\n"
                "nanosecondTimestamp=%llu\nthreadId=%llu\n",
                static_cast<unsigned long long>(records), static_cast<unsigned long long>(consumed),
                h.formatVersion, h.byteOrder, h.logPrefixMask, h.logLineLength,
                static_cast<unsigned long long>(h.nanosecondTimestamp), static_cast<unsigned long long>(h.threadId));
  out += line;
  std::snprintf(line, sizeof line,
                "lineNumber=%u\nimportanceLevel=%u\nargumentCount=%u\noffsetFileName=%u\noffsetFormatString=%u\n"
                "offsetFirstArg=%u\n",
                h.lineNumber, h.importanceLevel, h.argumentCount, h.offsetFileName, h.offsetFormatString,
                h.offsetFirstArg);
  out += line;
  if (h.logPrefixMask & LMR::LOG_FILENAME) {
    const char* name = reinterpret_cast<const char*>(p + h.offsetFileName);
    out += "fileName=";
    appendQuoted(out, name, std::strlen(name));
    out += '\n';
  }
  if (h.logPrefixMask & LMR::LOG_BINARY_FORMAT_STRING) {
    const char* format = reinterpret_cast<const char*>(p + h.offsetFormatString);
    out += "formatString=";
    appendQuoted(out, format, std::strlen(format));
    out += '\n';
  }
  // Each value through the text renderer, alone with its own conversion.
  renderer->load(p);
  LMR& r = *renderer->record;
  uint32_t at = h.offsetFirstArg;
  for (uint32_t i = 0; i < h.argumentCount; ++i) {
    const uint32_t type = load32(p + at);
    const uint32_t argLength = load32(p + at + 4);
    const uint32_t next = load32(p + at + 8);
    std::snprintf(line, sizeof line, "arg %u type=%s(%u) argLength=%u offsetNextArg=%u value=", i, typeName(type),
                  type, argLength, next);
    out += line;
    r.argList[0] = r.argList[i];
    r.argCount = 1;
    r.logLineFormat = conversionFor(type, argLength);
    renderer->render(0, out);
    out += '\n';
    at += LogLineBinaryValueHeader::HEADER_LEN + next;
  }
}

bool LogBinaryReader::feed(const unsigned char* data, size_t len, std::string& out) {
  if (failed) return false;
  pending.insert(pending.end(), data, data + len);
  size_t start = 0;
  while (!failed) {
    const int64_t recordLen = checkRecord(pending.data() + start, pending.size() - start);
    if (recordLen <= 0) break;
    if (mode == RAW) {
      renderRaw(pending.data() + start, out);
    } else {
      renderText(pending.data() + start, out);
    }
    start += static_cast<size_t>(recordLen);
    consumed += static_cast<uint64_t>(recordLen);
    ++records;
  }
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(start));
  return !failed;
}

bool LogBinaryReader::finish() {
  if (failed) return false;
  if (pending.empty()) return true;
  uint32_t wanted = 0;
  if (pending.size() >= 8) wanted = load32(pending.data() + offsetof(LogLineBinaryHeader, logLineLength));
  if (wanted > pending.size()) {
    return fail("truncated record at byte offset %llu: %zu of %u bytes", static_cast<unsigned long long>(consumed),
                pending.size(), wanted);
  }
  return fail("truncated record at byte offset %llu: %zu bytes, less than a header",
              static_cast<unsigned long long>(consumed), pending.size());
}
