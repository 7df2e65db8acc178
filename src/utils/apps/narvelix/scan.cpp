// The converter's content hook: splits each content line, records per column
// which kinds of characters it held and how wide it grew, and stores the row
// for encoding at the end of the input. This is the per-row hot path: one pass
// over each field byte with one table load, then one block copy of the field
// into the row store; no allocation per row or field (the store grows by 4 MiB
// chunks). With app tracing on, each row's results are traced after it.
#include <cstring>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"
#include "utils/io/plain_line.hpp"

namespace {

// Class of every byte value: the content flag it adds to a field, plus
// END_OF_FIELD for the NUL that the splitter writes behind each field. The
// bits in SPECIAL_CLASS need the per-field rule for a second sign or decimal
// point (or end the field) and take the slow branch.
//   '0'..'9'                 HAD_NUMBERS
//   'A'..'Z', 'a'..'z'       HAD_LETTERS
//   '"'                      HAD_QUOTE
//   '-' / '+' / '.'          HAD_MINUS / HAD_PLUS / HAD_DECIMAL_POINT
//   NUL                      END_OF_FIELD
//   anything else            HAD_SYMBOLS (space, '_', ':', bytes 128..255, ...)
constexpr uint32_t END_OF_FIELD = 0x10000;
constexpr uint32_t SPECIAL_CLASS =
    END_OF_FIELD | Narvelix::HAD_MINUS | Narvelix::HAD_PLUS | Narvelix::HAD_DECIMAL_POINT;

struct CharClassTable {
  uint32_t entry[256];
  constexpr CharClassTable() : entry{} {
    for (int c = 0; c < 256; ++c) {
      uint32_t e = Narvelix::HAD_SYMBOLS;
      if (c >= '0' && c <= '9')
        e = Narvelix::HAD_NUMBERS;
      else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
        e = Narvelix::HAD_LETTERS;
      else if (c == '"')
        e = Narvelix::HAD_QUOTE;
      else if (c == '-')
        e = Narvelix::HAD_MINUS;
      else if (c == '+')
        e = Narvelix::HAD_PLUS;
      else if (c == '.')
        e = Narvelix::HAD_DECIMAL_POINT;
      else if (c == 0)
        e = END_OF_FIELD;
      entry[c] = e;
    }
  }
};
constexpr CharClassTable CHAR_CLASS;

// Flags of one NUL-terminated field (HAD_NONULL included), copying its bytes
// to dest on the way (one load, one table load and one store per byte, no
// call); *length receives its length. A second '-'/'+' or a second '.' in the
// field adds HAD_SYMBOLS.
ZUR_ALWAYS_INLINE uint32_t classifyAndCopyField(const unsigned char* field, unsigned char* dest,
                                                uint32_t* length) {
  const unsigned char* p = field;
  unsigned char* d = dest;
  uint32_t flags = Narvelix::HAD_NONULL;
  for (;;) {
    const uint32_t e = CHAR_CLASS.entry[*p];
    if (ZUR_UNLIKELY(e & SPECIAL_CLASS)) {
      if (e == END_OF_FIELD) break;
      const uint32_t seen = (e == Narvelix::HAD_DECIMAL_POINT)
                                ? Narvelix::HAD_DECIMAL_POINT
                                : (Narvelix::HAD_MINUS | Narvelix::HAD_PLUS);
      if (flags & seen) flags |= Narvelix::HAD_SYMBOLS;
    }
    flags |= e;
    *d++ = *p++;
  }
  *length = static_cast<uint32_t>(p - field);
  return flags;
}

// classifyAndCopyField without the copy, for rows that are read again later.
ZUR_ALWAYS_INLINE uint32_t classifyField(const unsigned char* field, uint32_t* length) {
  const unsigned char* p = field;
  uint32_t flags = Narvelix::HAD_NONULL;
  for (;;) {
    const uint32_t e = CHAR_CLASS.entry[*p];
    if (ZUR_UNLIKELY(e & SPECIAL_CLASS)) {
      if (e == END_OF_FIELD) break;
      const uint32_t seen = (e == Narvelix::HAD_DECIMAL_POINT)
                                ? Narvelix::HAD_DECIMAL_POINT
                                : (Narvelix::HAD_MINUS | Narvelix::HAD_PLUS);
      if (flags & seen) flags |= Narvelix::HAD_SYMBOLS;
    }
    flags |= e;
    ++p;
  }
  *length = static_cast<uint32_t>(p - field);
  return flags;
}

// classifyField for a field whose first 16 bytes may be read: all bytes are
// classed at once from byte masks. Returns false, leaving the field to the
// byte loop, when its terminator is not among those 16 bytes.
ZUR_ALWAYS_INLINE bool classifyShortField(const unsigned char* field, uint32_t* flags,
                                          uint32_t* length) {
  using namespace byte_masks;
  const ByteTest tests[7] = {equal(0),   range('0', '9'), letter(),  equal('"'),
                             equal('-'), equal('+'),      equal('.')};
  uint64_t masks[7];
  Native::build<16>(field, tests, masks);
  if (masks[0] == 0) return false;
  const uint32_t len = ZUR_lowestSetBit(masks[0]);
  const uint32_t inField = (1u << len) - 1u;
  const auto digits = static_cast<uint32_t>(masks[1]) & inField;
  const auto letters = static_cast<uint32_t>(masks[2]) & inField;
  const auto quotes = static_cast<uint32_t>(masks[3]) & inField;
  const auto minus = static_cast<uint32_t>(masks[4]) & inField;
  const auto plus = static_cast<uint32_t>(masks[5]) & inField;
  const auto points = static_cast<uint32_t>(masks[6]) & inField;
  const uint32_t signs = minus | plus;
  const uint32_t others = inField & ~(digits | letters | quotes | signs | points);
  uint32_t f = Narvelix::HAD_NONULL;
  if (digits != 0) f |= Narvelix::HAD_NUMBERS;
  if (letters != 0) f |= Narvelix::HAD_LETTERS;
  if (quotes != 0) f |= Narvelix::HAD_QUOTE;
  if (minus != 0) f |= Narvelix::HAD_MINUS;
  if (plus != 0) f |= Narvelix::HAD_PLUS;
  if (points != 0) f |= Narvelix::HAD_DECIMAL_POINT;
  // A second sign or a second point counts as a symbol, as in the byte loop.
  if (others != 0 || (signs & (signs - 1u)) != 0 || (points & (points - 1u)) != 0) {
    f |= Narvelix::HAD_SYMBOLS;
  }
  *flags = f;
  *length = len;
  return true;
}

// Content flags of a non-empty field from its plain_line class bits.
struct PlainClassFlags {
  uint32_t entry[plain_line::CLASS_COMBINATIONS];
  constexpr PlainClassFlags() : entry{} {
    for (uint32_t c = 0; c < plain_line::CLASS_COMBINATIONS; ++c) {
      uint32_t f = Narvelix::HAD_NONULL;
      if (c & plain_line::HAS_DIGIT) f |= Narvelix::HAD_NUMBERS;
      if (c & plain_line::HAS_LETTER) f |= Narvelix::HAD_LETTERS;
      if (c & plain_line::HAS_MINUS) f |= Narvelix::HAD_MINUS;
      if (c & plain_line::HAS_PLUS) f |= Narvelix::HAD_PLUS;
      if (c & plain_line::HAS_POINT) f |= Narvelix::HAD_DECIMAL_POINT;
      if (c & plain_line::HAS_OTHER) f |= Narvelix::HAD_SYMBOLS;
      entry[c] = f;
    }
  }
};
constexpr PlainClassFlags PLAIN_CLASS_FLAGS;

// One line for the whole-line observation.
struct PlainObservation {
  const unsigned char* line;
  std::size_t length;
  std::size_t readable;
  unsigned char separator;
  unsigned char quote;
  uint32_t columns;
  uint32_t* observed;
  uint32_t* widths;
  const unsigned char* blockOrigin;
  plain_line::BlockCache* blocks;
};

template <typename Masks>
ZUR_ALWAYS_INLINE int observePlainLineWith(const PlainObservation& o) {
  uint32_t* const observed = o.observed;
  uint32_t* const widths = o.widths;
  return plain_line::classifyPlainLine<Masks>(
      o.line, o.length, o.readable, o.separator, o.quote, o.columns,
      [observed, widths](uint32_t column, std::size_t width, uint32_t classes) {
        if (width == 0) {
          observed[column] |= Narvelix::HAD_NULL;
          return;
        }
        observed[column] |= PLAIN_CLASS_FLAGS.entry[classes];
        if (width > widths[column]) widths[column] = static_cast<uint32_t>(width);
      },
      o.blockOrigin, o.blocks);
}

int observePlainLine(const PlainObservation& o) {
  return observePlainLineWith<plain_line::PortableMasks>(o);
}

#if defined(ZUR_USE_AVX2)
__attribute__((target("avx2"))) int observePlainLineAvx2(const PlainObservation& o) {
  return observePlainLineWith<plain_line::Avx2Masks>(o);
}
#else
int observePlainLineAvx2(const PlainObservation& o) { return observePlainLine(o); }
#endif

}  // namespace

bool Narvelix::plainSplitUsable(const CSV_File& splitter) {
  // One separator byte besides NUL (which always stops the plain splitter),
  // not a byte the classes test for, and at most one quote character.
  if (splitter.quoteListLen > 1 || splitter.separatorListLen > sizeof splitter.separatorCharList) {
    return false;
  }
  unsigned char sep = 0;
  for (unsigned i = 0; i < splitter.separatorListLen; ++i) {
    const unsigned char c = splitter.separatorCharList[i];
    if (c == 0 || c == sep) continue;
    if (sep != 0) return false;
    sep = c;
  }
  return sep != 0 && sep == plainSeparator(splitter) && sep != plainQuote(splitter) &&
         CHAR_CLASS.entry[sep] == HAD_SYMBOLS;
}

int Narvelix::observeLine(unsigned char* text, size_t length, size_t readable, uint32_t* observed,
                          uint32_t* widths, char** fieldText, const unsigned char* blockOrigin,
                          plain_line::BlockCache* blocks) {
  if (plainSplit) {
    // Lines without quotes are split and classed in one pass over bit masks;
    // a line with a quote or NUL comes back as -1 (any field observed on the
    // way is observed again below, which changes nothing).
    const PlainObservation observation = {text,
                                          length,
                                          readable,
                                          plainSeparator(*this),
                                          plainQuote(*this),
                                          storedColumns,
                                          observed,
                                          widths,
                                          blockOrigin,
                                          blocks};
    const int fieldsSeen = byte_masks::avx2Available() ? observePlainLineAvx2(observation)
                                                       : observePlainLine(observation);
    if (fieldsSeen >= 0) return fieldsSeen;
  }
  const int total = parseIntoFields(MAX_COLS, fieldText, text, length);
  uint32_t fieldCount = total > 0 ? static_cast<uint32_t>(total) : 0;
  if (fieldCount > storedColumns) fieldCount = storedColumns;
  // The split line is readable up to its terminator at text[length].
  const unsigned char* const readableEnd = text + length + 1;
  for (uint32_t i = 0; i < fieldCount; ++i) {
    const auto* field = reinterpret_cast<const unsigned char*>(fieldText[i]);
    if (*field == '\0') {
      observed[i] |= HAD_NULL;
      continue;
    }
    uint32_t fieldLength;
    uint32_t fieldFlags;
    if (!(byte_masks::NATIVE_IS_VECTOR && readableEnd - field >= 16 &&
          classifyShortField(field, &fieldFlags, &fieldLength))) {
      fieldFlags = classifyField(field, &fieldLength);
    }
    observed[i] |= fieldFlags;
    if (fieldLength > widths[i]) widths[i] = fieldLength;
  }
  return total;
}

int Narvelix::processLine(const unsigned char* line, size_t length) {
  // The splitter works in place; the reader's buffer is ours until we return.
  auto* text = const_cast<unsigned char*>(line);
  if (length > 0 && text[length - 1] == '\r') --length;
  const auto rowIndex = static_cast<uint32_t>(contentRows);
  if (secondRead && sawHeader && !inputRejected) {
    // Observed only; the records are encoded from a second read of the file.
    // Block masks are shared between the lines of the loop's buffer until
    // its next fill.
    if (blockCacheFills != lineStorageFills) {
      lineBlocks.reset();
      blockCacheFills = lineStorageFills;
    }
    parsedCount = observeLine(text, length, length + lineSlack(line, length), columnObservedContent,
                              columnMaxWidth, parsedCols, lineStorageStart,
                              lineStorageStart != nullptr ? &lineBlocks : nullptr);
    if (ZUR_UNLIKELY(COMPONENT_LOG_ENABLED(app, app_trace))) traceObservedRow(rowIndex);
    ++contentRows;
    return 0;
  }
  parsedCount = parseIntoFields(MAX_COLS, parsedCols, text, length);
  LOG_CERR(app_trace) << "parsedCount=" << static_cast<int32_t>(parsedCount) << LOG_ENDLINE;
  if (!sawHeader || inputRejected) return 0;

  // Only the heading's columns are kept; further fields of a long line are
  // not part of any output field.
  uint32_t fieldCount = parsedCount > 0 ? static_cast<uint32_t>(parsedCount) : 0;
  if (fieldCount > storedColumns) fieldCount = storedColumns;

  unsigned char* out = rowData.reserveRow(RowStore::rowBound(fieldCount, length));
  if (ZUR_UNLIKELY(out == nullptr)) {
    LOG_CERR(app_error) << "Out of memory storing content row " << rowIndex << LOG_ENDLINE;
    encounteredError = true;
    inputRejected = true;
    return 0;
  }
  *out++ = static_cast<unsigned char>(fieldCount);
  for (uint32_t i = 0; i < fieldCount; ++i) {
    const auto* field = reinterpret_cast<const unsigned char*>(parsedCols[i]);
    if (*field == '\0') {
      columnObservedContent[i] |= HAD_NULL;
      *out++ = 0;
      continue;
    }
    uint32_t fieldLength;
    columnObservedContent[i] |= classifyAndCopyField(field, out + 1, &fieldLength);
    if (fieldLength > columnMaxWidth[i]) columnMaxWidth[i] = fieldLength;
    out = RowStore::sealField(out, fieldLength);
  }
  rowData.commitRow(out);
  if (ZUR_UNLIKELY(COMPONENT_LOG_ENABLED(app, app_trace))) traceObservedRow(rowIndex);
  ++contentRows;
  return 0;
}

// Trace of one observed content row: what the observation of the columns
// holds after it (content flags, widest text).
void Narvelix::traceObservedRow(uint32_t rowIndex) const {
  LOG_CERR(app_trace) << "Content row=" << rowIndex << " fields=" << static_cast<int32_t>(parsedCount)
                      << LOG_ENDLINE;
  for (uint32_t i = 0; i < storedColumns; ++i) {
    LOG_CERR(app_trace) << "Col " << static_cast<int32_t>(i) << " flags=" << columnObservedContent[i]
                        << " width=" << columnMaxWidth[i] << LOG_ENDLINE;
  }
}
