// Text rendering of a finished record: the optional prefix (date, time,
// thread id, file:line, severity label) and the message built from the
// format line and the argument records, described as I/O vector elements.
// Literal text is never copied on the direct path: the elements point into
// the format line and constant tables, rendered values lie in the manager's
// block at their final offsets, and one writev per 1024 elements writes the
// line. For a writer thread (or memory) the line is gathered into the block.
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log_render_line.hpp"
#include "utils/base/text2int.hpp"

namespace log_render {

namespace {

// Allocated on the thread's first line, freed when the thread ends.
struct ThreadElementArray {
  iovec* elements = nullptr;
  ~ThreadElementArray() { std::free(elements); }
};
thread_local ThreadElementArray threadElementArray;

}  // namespace

iovec* threadElements() {
  if (threadElementArray.elements == nullptr) {
    threadElementArray.elements = static_cast<iovec*>(std::malloc(MAX_ELEMENT_TOTAL * sizeof(iovec)));
  }
  return threadElementArray.elements;
}

bool LineUnderConstruction::addElement(const void* data, size_t len) {
  if (len == 0) return true;
  if (elementTotal > ELEMENT_LIMIT) {
    std::fprintf(stderr, "Too many elements: %u\n", elementTotal);
    return false;
  }
  if (copyIn) {
    char* at = bfrBase + totalRecordLen;
    if (data != at) moveBytes(at, static_cast<const char*>(data), len);
    data = at;
  }
  elements[elementTotal].iov_base = const_cast<void*>(data);
  elements[elementTotal].iov_len = len;
  ++elementTotal;
  totalRecordLen += len;
  return true;
}

bool LineUnderConstruction::placeRendered(const char* text, size_t len) {
  if (len > room()) return false;
  char* at = bfrBase + totalRecordLen;
  if (text != at) moveBytes(at, text, len);
  return addElement(at, len);
}

bool LineUnderConstruction::placeNumber(const char* text, size_t len) {
  if (len > room()) return false;
  char* at = bfrBase + totalRecordLen;
  const size_t lead = len & 3u;
  switch (lead) {
    case 3:
      at[2] = text[2];
      [[fallthrough]];
    case 2:
      at[1] = text[1];
      [[fallthrough]];
    case 1:
      at[0] = text[0];
      break;
    default:
      break;
  }
  for (size_t i = lead; i < len; i += 4) {
    uint32_t group;
    std::memcpy(&group, text + i, 4);
    std::memcpy(at + i, &group, 4);
  }
  return addElement(at, len);
}

void LineUnderConstruction::placeCut(const char* text, size_t len) {
  placeRendered(text, len < room() ? len : room());
}

void LineUnderConstruction::addConstant(const char* text, size_t len) {
  addElement(text, len < room() ? len : room());
}

size_t gather(const LineUnderConstruction& line) {
  size_t offset = 0;
  for (uint32_t i = 0; i < line.elementTotal; ++i) {
    const iovec& e = line.elements[i];
    if (offset + e.iov_len > line.blockLen) break;
    char* at = line.bfrBase + offset;
    if (e.iov_base != at) moveBytes(at, static_cast<const char*>(e.iov_base), e.iov_len);
    offset += e.iov_len;
  }
  line.bfrBase[offset] = '\0';
  return offset;
}

size_t writeLineDirect(LogManager* mgr, LineUnderConstruction& line, const char* who) {
  const int fd = mgr != nullptr ? mgr->getDescriptor() : STDERR_FILENO;
  const size_t total = line.totalRecordLen;
  const size_t written = writeElements(fd, line.elements, line.elementTotal);
  if (mgr != nullptr) mgr->countDirectWrite(written);
  if (written < total && mgr != nullptr && mgr->getErrorCondition()[0] == '\0') {
    std::fprintf(stderr, "%s: only wrote %zu bytes but expected %zu elements=%u fd=%d\n", who, written, total,
                 line.elementTotal, fd);
    std::fflush(stderr);
    mgr->setErrorCondition("out of disk space");
  }
  return written;
}

}  // namespace log_render

namespace {

using log_render::LineUnderConstruction;

// Process-wide once-flags; relaxed exchange is enough (openlog locks itself).
std::atomic<bool> warnedAboutSize{false};
std::atomic<bool> didSyslogOpen{false};

// A record without a manager (a statement in a static constructor that runs
// before the standard managers exist) renders here and goes to descriptor 2.
constexpr size_t FALLBACK_BLOCK_SIZE = 4608;
thread_local char fallbackBlock[FALLBACK_BLOCK_SIZE];

// The date and time text with its space, and the bytes formatPrefixTime
// may store.
constexpr size_t TIME_TEXT_ROOM = 40;

constexpr uint32_t KERNEL_FAST_ELEMENTS = 8;
constexpr size_t GATHER_DIRECT_LIMIT = 512;

// The decimal thread id and its space, as last shown by this thread.
struct ThreadIdText {
  uint64_t id = 0;
  uint8_t len = 0;
  char text[24];
};
thread_local ThreadIdText threadIdText;

// Characters that may stand between '%' and a conversion letter.
struct ConversionFlagTable {
  bool flag[256] = {};
  constexpr ConversionFlagTable() {
    for (const char* c = "-+ #0123456789.*hlLqjzt"; *c != '\0'; ++c) flag[static_cast<unsigned char>(*c)] = true;
  }
};
constexpr ConversionFlagTable conversionFlags;

int syslogLevelOf(uint32_t importance) {
  if (importance & LogMessageRecord::LOG_SEVERITY_FATAL) return LOG_CRIT;
  if (importance & LogMessageRecord::LOG_SEVERITY_ERROR) return LOG_ERR;
  if (importance & LogMessageRecord::LOG_SEVERITY_WARN) return LOG_WARNING;
  if (importance & LogMessageRecord::LOG_SEVERITY_INFO) return LOG_INFO;
  return LOG_DEBUG;
}

}  // namespace

void LogMessageRecord::renderPrefix(LineUnderConstruction& line, unsigned int prefixWithFlags, char* syslogTime) {
  static const char SEPARATORS[] = ": ";
  const bool withDate = (prefixWithFlags & LOG_DATESTAMP) != 0;
  const bool withTime = (prefixWithFlags & LOG_TIMESTAMP) != 0;
  if (withDate || withTime) {
    // Written in place when the block has the room (it always has at the
    // start of a line), else cut to the room from a work buffer.
    char work[TIME_TEXT_ROOM];
    char* at = line.room() >= TIME_TEXT_ROOM ? line.bfrBase + line.totalRecordLen : work;
    size_t len = log_render::formatPrefixTime(static_cast<int64_t>(timestamp.tv_sec),
                                              static_cast<uint32_t>(timestamp.tv_nsec), withDate, withTime, at);
    at[len++] = ' ';
    if (importanceLevel & AND_USE_SYSLOG) {
      std::memcpy(syslogTime, at, len);
      syslogTime[len] = '\0';
    }
    line.placeCut(at, len);
  }
  alignas(4) uint32_t work[6];
  uint_fast8_t len = 0;
  if (prefixWithFlags & LOG_THREAD_ID) {
    ThreadIdText& cached = threadIdText;
    if (cached.len == 0 || cached.id != threadId) {
      const char* text = uint_to_ascii(work, sizeof work, threadId, &len);
      std::memcpy(cached.text, text, len);
      cached.text[len] = ' ';
      cached.len = static_cast<uint8_t>(len + 1);
      cached.id = threadId;
    }
    line.placeCut(cached.text, cached.len);
  }
  if (prefixWithFlags & LOG_FILENAME) {
    const TextBlock_struct name =
        logMgr != nullptr ? logMgr->pruneDirectoryPrefix(sourceFile, static_cast<int_fast32_t>(sourceFileNameLen))
                          : TextBlock_struct(sourceFile != nullptr ? sourceFile : "",
                                             sourceFile != nullptr ? sourceFileNameLen : 0);
    line.addConstant(name.textBfr, name.bfrLen);
    line.addConstant((prefixWithFlags & LOG_LINE_NUMBER) ? SEPARATORS : SEPARATORS + 1, 1);
  }
  if (prefixWithFlags & LOG_LINE_NUMBER) {
    const char* text = uint_to_ascii(work, sizeof work, sourceLine, &len);
    line.placeNumber(text, len);
    line.addConstant(SEPARATORS + 1, 1);
  }
  if (prefixWithFlags & LOG_ERROR_LEVEL) {
    const TextBlock_struct label = getSeverityLabelWithLength(importanceLevel);
    line.addConstant(label.textBfr, label.bfrLen);
    line.addConstant(SEPARATORS + 1, 1);
  }
}

void LogMessageRecord::renderMessage(LineUnderConstruction& line) const {
  const char* p = logLineFormat;
  uint32_t nextArg = 0;
  while (p != nullptr && *p != '\0') {
    const char* percent = std::strchr(p, '%');
    const char* runEnd = percent != nullptr ? percent : p + std::strlen(p);
    const bool doubled = percent != nullptr && percent[1] == '%';
    if (doubled) ++runEnd;  // "%%": the run keeps one '%'
    const size_t runLen = static_cast<size_t>(runEnd - p);
    if (runLen > line.room()) {
      const size_t room = line.room();
      if (doubled) {
        std::fprintf(stderr,
                     "LogMessageRecord::formatRecordAsText - Truncated from len=%zu to %zu blockLen=%zu offset=%zu "
                     "sourceLine=%s:%u\n",
                     runLen, room, line.blockLen, line.totalRecordLen, sourceFile ? sourceFile : "[nofile]",
                     sourceLine);
      } else {
        std::fprintf(stderr, "Truncated from len=%zu to %zu\n", runLen, room);
      }
      std::fflush(stderr);
      line.addElement(p, room);
      return;
    }
    line.addElement(p, runLen);
    if (percent == nullptr) return;
    if (doubled) {
      p = percent + 2;
      continue;
    }
    if (line.room() == 0) {
      if (!warnedAboutSize.exchange(true, std::memory_order_relaxed)) {
        std::fprintf(stderr, "NO MORE ROOM IN BUFFER at offset=%zu\n", line.totalRecordLen);
        std::fflush(stderr);
      }
      return;
    }
    // Flags, width, precision and length letters, then the letter.
    const char* conversion = percent + 1;
    const char* letterAt = conversion;
    bool onlyLong = true;
    while (conversionFlags.flag[static_cast<unsigned char>(*letterAt)]) {
      if (*letterAt != 'l') onlyLong = false;
      ++letterAt;
    }
    if (*letterAt == '\0') return;  // a dangling conversion ends the message
    const size_t conversionLen = static_cast<size_t>(letterAt - conversion) + 1;
    const bool plain = letterAt == conversion || (onlyLong && letterAt == conversion + 1);
    p = letterAt + 1;
    if (nextArg >= argCount) continue;  // no argument left: nothing shown
    const ArgumentRecord& arg = argList[nextArg++];
    if (conversionLen > 15) continue;
    log_render::renderConversion(line, *this, arg, conversion, conversionLen, *letterAt, plain);
  }
}

SharedBufferAllocRecord* LogMessageRecord::formatRecordAsText(unsigned int prefixWithFlags, size_t* returnLen,
                                                              uint32_t singleThreaded) {
  LogManager* mgr = logMgr;
  SharedBufferAllocRecord* rec = mgr != nullptr ? mgr->allocateBuffer() : nullptr;
  LineUnderConstruction line{log_render::threadElements(), 0, 0, nullptr, 0};
  if (rec != nullptr) {
    size_t blockLength = 0;
    line.bfrBase = reinterpret_cast<char*>(mgr->bufferAddress(rec, &blockLength));
    line.blockLen = blockLength - 1;
  } else if (mgr == nullptr) {
    line.bfrBase = fallbackBlock;
    line.blockLen = FALLBACK_BLOCK_SIZE - 1;
    singleThreaded = 1;
  }
  if (line.bfrBase == nullptr || line.elements == nullptr) {
    if (rec != nullptr) mgr->returnBuffer(rec);
    if (returnLen != nullptr) *returnLen = 0;
    return nullptr;
  }
  const int fd = mgr != nullptr ? mgr->getDescriptor() : STDERR_FILENO;
  const bool direct = singleThreaded != 0 && (mgr == nullptr || mgr->hasOutput());
  line.copyIn = !direct;
  char syslogTime[32] = "";
  renderPrefix(line, prefixWithFlags, syslogTime);
  const size_t prefixLen = line.totalRecordLen;
  if (logLineFormat != nullptr && logLineFormat[0] != '\0') renderMessage(line);
  const size_t total = line.totalRecordLen;
  line.bfrBase[total] = '\0';
  if (total == 0) {
    // Never handed on: a writer reads an empty block as the end of the log.
    if (rec != nullptr) mgr->returnBuffer(rec);
    if (returnLen != nullptr) *returnLen = 0;
    return nullptr;
  }
  if (direct && line.elementTotal > KERNEL_FAST_ELEMENTS && total <= GATHER_DIRECT_LIMIT) {
    // The kernel takes up to 8 element descriptors without allocating; a
    // short line of more elements is cheaper copied together in its block
    // (the copy costs less than the allocation) and written as one.
    line.elements[0] = iovec{line.bfrBase, log_render::gather(line)};
    line.elementTotal = 1;
  } else if (direct || (importanceLevel & AND_USE_STDERR)) {
    // Fewer elements for writev; a line only gathered in the block needs none.
    line.elementTotal = static_cast<uint32_t>(coalesce_iovec(line.elementTotal, line.elements));
  }
  if ((importanceLevel & AND_USE_STDERR) && fd != STDERR_FILENO) {
    writeElements(STDERR_FILENO, line.elements, line.elementTotal);
  }
  if (mgr != nullptr && mgr->isClosed()) {
    // A closed log takes no more lines.
    mgr->returnBuffer(rec);
    if (returnLen != nullptr) *returnLen = 0;
    return nullptr;
  }
  size_t resultLen = total;
  if (direct) {
    resultLen = log_render::writeLineDirect(mgr, line, "formatRecordAsText");
  }
  if (!direct || (importanceLevel & AND_USE_SYSLOG)) {
    // Copied in as it was built (each piece within the block's room), or
    // gathered now for the system log.
    const size_t gathered = line.copyIn ? total : log_render::gather(line);
    if (!direct) resultLen = gathered;
    if (rec != nullptr) setUsedLength(rec, static_cast<uint32_t>(gathered));
  }
  if (importanceLevel & AND_USE_SYSLOG) {
    if (!didSyslogOpen.exchange(true, std::memory_order_relaxed)) {
      openlog(default_LogSubsystemInfo.programName, LOG_PID, LOG_LOCAL1);
    }
    syslog(syslogLevelOf(importanceLevel), "%s%s", syslogTime, line.bfrBase + prefixLen);
  }
  if (returnLen != nullptr) *returnLen = resultLen;
  if (direct) {
    // Written once: the block goes back whatever the routes.
    if (rec != nullptr) mgr->returnBuffer(rec);
    return nullptr;
  }
  return rec;
}

const char* LogMessageRecord::formatIntoMemory() {
  if (logMgr == nullptr) return "";
  size_t len = 0;
  SharedBufferAllocRecord* rec = formatRecordAsText(0, &len, 0);
  if (rec == nullptr) return "";
  logMgr->keepMemoryBlock(rec);
  return reinterpret_cast<const char*>(logMgr->bufferAddress(rec, nullptr));
}

size_t LogMessageRecord::writeAsTextToBuffer(unsigned int prefixWithFlags) {
  size_t len = 0;
  SharedBufferAllocRecord* rec =
      formatRecordAsText(prefixWithFlags, &len, logMgr != nullptr ? logMgr->isSingleThreaded() : 1u);
  if (rec != nullptr) logMgr->writeDataToBuffer(rec);
  return len;
}

size_t LogMessageRecord::writeAsBinaryToBuffer(unsigned int prefixWithFlags) {
  size_t len = 0;
  SharedBufferAllocRecord* rec =
      prepareBinaryRecord(prefixWithFlags, &len, logMgr != nullptr ? logMgr->isSingleThreaded() : 1u);
  if (rec != nullptr) logMgr->writeDataToBuffer(rec);
  return len;
}
