// Emitting a long text as several log lines: pieces end at a newline, after
// a separator character, or at a run of blanks (which is dropped), and are at
// most blockLength bytes long. Each piece is its own record with the
// context's file, line, level and manager, written at once.
#include <cstring>

#include "utils/logging/logging_api.hpp"

void LogMessageRecord::splitLongLogLine(LogMessageRecord& context, const char* line, const char* separators,
                                        size_t blockLength) {
  if (line == nullptr) line = "";
  if (separators == nullptr) separators = "";
  if (blockLength < 2) blockLength = 2;  // the backward search needs two characters
  LogManager* mgr = context.logMgr != nullptr ? context.logMgr : LogManager::STDERR_LogManager;
  const unsigned int prefix = static_cast<unsigned int>(mgr != nullptr ? mgr->getLogPrefixMask() : 0xFFFFFFFFu);

  auto emitPiece = [&](const char* piece, size_t len) {
    LogMessageRecord rec(mgr, context.importanceLevel, context.sourceFile, context.sourceLine,
                         context.sourceFileNameLen);
    LOG_argument_union u{};
    u.ptr = piece;
    rec.argList[0].logArgs = u;
    rec.argList[0].argBaseType = LOG_ARG_TYPE_POINTER;
    rec.argList[0].argLen = static_cast<LogArgumentLenType_t>(len);
    rec.argCount = 1;
    std::memcpy(rec.generatedFormatLine, "%B\n", 4);
    rec.generatedOffset = 3;
    rec.logLineFormat = rec.generatedFormatLine;
    rec.writeAsTextToBuffer(prefix);
  };

  const char* p = line;
  const size_t total = std::strlen(line);
  const char* end = line + total;
  while (p < end) {
    const size_t left = static_cast<size_t>(end - p);
    const size_t scan = left < blockLength ? left : blockLength;
    const void* newline = std::memchr(p, '\n', scan);
    if (newline != nullptr) {
      const char* nl = static_cast<const char*>(newline);
      emitPiece(p, static_cast<size_t>(nl - p) + 1);
      p = nl + 1;
      continue;
    }
    if (left <= blockLength) break;  // the rest is the final piece
    // blockLength characters without a newline: search backwards.
    size_t cut = blockLength;
    const char* next = p + blockLength;
    for (size_t i = blockLength - 1; i >= 1; --i) {
      const char c = p[i];
      if (std::strchr(separators, c) != nullptr && c != '\0') {
        cut = i + 1;
        next = p + i + 1;
        break;
      }
      if (c == ' ' || c == '\t') {
        size_t lastKept = i;
        while (lastKept > 0 && (p[lastKept - 1] == ' ' || p[lastKept - 1] == '\t')) --lastKept;
        cut = lastKept;
        next = p + i + 1;
        break;
      }
    }
    emitPiece(p, cut);
    p = next;
  }
  // The final piece, even when empty (a text ending in a newline gets one).
  emitPiece(p, static_cast<size_t>(end - p));
  context.argCount = 0;
  context.generatedOffset = 0;
  context.generatedFormatLine[0] = '\0';
  context.logLineFormat = nullptr;
}

uint_fast32_t LogMessageRecord::prefixMaskOfManager() const {
  return logMgr != nullptr ? logMgr->getLogPrefixMask() : 0xFFFFFFFFu;
}
