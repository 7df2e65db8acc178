// The narvelix converter: one CSV input in, one metadata reference file out (and,
// on request, a C++ header describing its records). The class is a CSV reader:
// the heading hook names the columns, the line hook observes every content row
// and keeps it in a compact row store (or, for a regular file read twice, only
// observes it), and the completion hook chooses the field types and the packed
// record layout, then encodes every row from the store or the second read. The
// converter runs on one thread; nothing here is shared. Output integers are in
// the writing machine's byte order (little-endian on every supported target).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "utils/apps/narvelix/row_store.hpp"
#include "utils/io/plain_line.hpp"
#include "utils/io/read_file.hpp"
#include "utils/metadata/UniversalMetaData.hpp"
#include "utils/shared_vars/shared_variable.hpp"

class LineRereader;

class Narvelix : public CSV_File {
 public:
  enum { MAX_COLS = 128 };
  // Longest --name: the struct name is a C++ identifier of at most this many
  // characters.
  static constexpr std::size_t MAX_STRUCTURE_NAME = 64;
  // Most content rows one file can hold: its header counts records in 32 bits.
  static constexpr uint64_t MAX_RECORDS = UINT32_MAX;

  // Content flags: the observation word of a column is the OR of the flags of
  // all its fields in all rows. Value 1 is not used.
  enum ColumnTypeFlags : uint32_t {
    HAD_NULL = 2,
    HAD_NONULL = 4,
    HAD_QUOTE = 8,
    HAD_NUMBERS = 16,
    HAD_MINUS = 32,
    HAD_DECIMAL_POINT = 64,
    HAD_LETTERS = 128,
    HAD_SYMBOLS = 256,
    HAD_PLUS = 512,
  };

  // One output column: its name (empty = deleted), its field group (1 for an
  // ordinary field) and its type (0 = infer; after the layout, the final type).
  struct ColumnSpecification {
    char fieldName[16];
    char _null;  // always 0: terminates a name that fills all 16 bytes
    uint8_t fieldGroup;
    uint32_t forceType;
    ColumnSpecification() : fieldName{}, _null(0), fieldGroup(0), forceType(0) {}
  };

  // One --delete / --rename option: renameFrom is matched against the cleaned
  // heading names; fieldName is the new name (empty for a delete).
  struct ColumnOverrideSpecification : ColumnSpecification {
    char renameFrom[64];
    ColumnOverrideSpecification() : renameFrom{} {}
  };

  struct ConvertOptions {
    const ColumnOverrideSpecification* externalOverrides;
    char structureName[MAX_STRUCTURE_NAME + 1];  // a C++ identifier, NUL-terminated
    char magicNumber[8];  // fixed 8 characters, no terminator required
    uint32_t overrideCount;
    uint32_t verbose;
    bool emitCPPheaders;
    bool emitCPPdescription;  // accepted on the command line; has no effect
    bool useDensePacking;
    bool reorderFields;
    ConvertOptions();
  };

  // Orders the fields for --reorder: sorting with operator< puts the widest
  // columns first.
  struct ColumnWidthInfo {
    uint16_t columnWidth;
    uint8_t columnIndex;
    bool operator<(const ColumnWidthInfo& other) const { return columnWidth > other.columnWidth; }
  };

  // One stored content row decoded from the row store: the text of each
  // heading column (not NUL-terminated; empty when the line had no such field).
  struct RowContent {
    const char* fieldText[MAX_COLS];
    uint32_t fieldLength[MAX_COLS];
  };

  static const char DEFAULT_structureName[];
  static const char DEFAULT_magicNumber[];

  // Adopts the open input descriptor fd; fileName names the metadata file to
  // write ("--stdout" for standard output). opt may be null (defaults).
  Narvelix(int fd, const char* fileName, const ConvertOptions* opt);
  ~Narvelix() override;

  Narvelix(const Narvelix&) = delete;
  Narvelix& operator=(const Narvelix&) = delete;

  int parsedHeadingLine() override;
  int processLine(const unsigned char* line, size_t length) override;

  // Reads through the base, noting two things the line loop cannot tell the
  // converter: a request for zero bytes (a line too long for the reader's
  // buffer, after which the rest of the input is not read), and the bytes
  // after the last line feed (a last line without one is not delivered).
  int readIntoBuffer(unsigned char* buffer, size_t length) override;
  // Chooses the layout and writes the metadata file. Returns recordsSeen when
  // the file was written, -1 when the input was rejected (too many columns,
  // record too long) or the output could not be created or written.
  int completedFile(int recordsSeen) override;

  // Writes the C++ header for the layout ("--stdout": standard output, which
  // is flushed, not closed). 0 when written, -1 when it could not be created
  // or when the input was rejected (no metadata file exists to describe).
  int dump_CPP_structure(const char* outFileName);

  // The type code for a column whose widest text is maxWidth bytes and whose
  // observed flags are contentMask.
  uint32_t inferType(uint32_t maxWidth, uint32_t contentMask);

  bool getErrorIndication() const { return encounteredError; }
  // No byte of input was read.
  bool inputWasEmpty() const { return !sawInputBytes; }

  // Lowers the number of content rows accepted below MAX_RECORDS, so that the
  // refusal of a longer input can be seen without 4 G rows.
  void setRecordLimit(uint64_t limit) { recordLimit = limit < MAX_RECORDS ? limit : MAX_RECORDS; }

  // The driver closes the input descriptor itself; after this the converter's
  // destructor no longer closes it.
  void releaseDescriptor() { descriptor = -1; }

  // For a whole-file conversion of a regular file that nothing else writes:
  // content rows are only observed while the input is read, not stored, and
  // the records are encoded from a second read of the file (from its start,
  // by pread) once the layout is known. Memory then stays a few MiB whatever
  // the input size. The file's identity (device, inode, size, modification
  // time) is taken now; if it differs when the records are encoded, or the
  // second read does not find the same lines, the conversion fails.
  void encodeFromSecondRead();

  // Threads for one regular file: the processors this process may run on,
  // at most MAX_THREADS, lowered by the environment variable NARVELIX_THREADS
  // (a number from 1). *requested tells whether that variable gave a number.
  static constexpr unsigned MAX_THREADS = 16;
  static unsigned threadsToUse(bool* requested);

  // Reads the input as readAndProcessCSV_File does, for a regular file after
  // encodeFromSecondRead: the content after the heading is cut at line feeds
  // into chunks of at least minChunkBytes, observed by `threads` threads at
  // once, and encoded the same way once the layout is known. The bytes
  // written, the messages and their order are those of the single-thread
  // read. With one chunk (or an input without a complete heading line) it is
  // readAndProcessCSV_File.
  int readAndProcessInChunks(unsigned threads, int64_t minChunkBytes);

  // Rows of one chunk for the encoder: as LineRereader::next.
  struct ChunkRows {
    LineRereader* reader;
    int operator()(const char** text, uint32_t* length, uint32_t maxFields) const;
  };

  // True when splitter's lists allow the whole-line splitter for lines
  // without quotes (one separator besides NUL, at most one quote character).
  static bool plainSplitUsable(const CSV_File& splitter);
  // The separator and quote the whole-line splitter then uses (NUL when the
  // lists have none).
  static unsigned char plainSeparator(const CSV_File& splitter) {
    return splitter.separatorListLen > 0 ? splitter.separatorCharList[0] : 0;
  }
  static unsigned char plainQuote(const CSV_File& splitter) {
    return splitter.quoteListLen > 0 ? splitter.quoteCharList[0] : 0;
  }

  // Fixed-length records go through the general encoder as variable-length
  // ones do, instead of the lean one; the bytes are the same (for comparing
  // the two).
  void useGeneralEncoder() { forceGeneralEncoder = true; }

  // Observation results, readable by tests.
  uint32_t observedContent(int column) const { return columnObservedContent[column]; }
  uint32_t maxWidth(int column) const { return columnMaxWidth[column]; }
  const ColumnSpecification& columnSpecification(int column) const {
    return columnDescriptions[column];
  }
  uint64_t storedRows() const { return contentRows; }
  bool variableLengthRecords() const { return usesVariableLengthRecords; }

 private:
  // How records are encoded, fixed once the layout is known.
  struct EncodePlan {
    uint16_t fieldOffsets[MAX_COLS];
    bool lean;           // fixed-length records by encodeFixedRecord
    bool vectorNumbers;  // ... in its AVX2 form
    // ... and straight from the line for lines without quotes: the selected
    // columns come in column order, so fields are encoded in the same order.
    bool inPlace;
  };
  struct EncodeResult {
    enum Status { OK, ROW_MISSING, WRITE_FAILED };
    Status status = OK;
    uint32_t row = 0;          // the missing row, or the first row not yet written
    std::size_t staged = 0;    // bytes encoded but not yet written
    std::size_t sent = 0;      // bytes of a failed write that went out
  };
  // Where encoded records go: a stream, a descriptor at an offset (pwrite),
  // or nowhere (only counted).
  struct RecordSink {
    FILE* stream = nullptr;
    int descriptor = -1;
    int64_t offset = 0;
    uint64_t bytes = 0;
    std::size_t sent = 0;
    bool put(const unsigned char* data, std::size_t length);
  };
  // One piece of the content of a file converted in chunks: whole lines
  // [begin, end) of the file.
  struct Chunk {
    int64_t begin = 0;
    int64_t end = 0;
    uint64_t rows = 0;                        // complete lines
    uint64_t rowsBeforeLongLine = UINT64_MAX;  // a line of 65536+ bytes follows them
    std::size_t tailBytes = 0;                // bytes after the last line feed
    uint32_t firstRow = 0;
    uint64_t recordBytes = 0;  // variable-length records: their bytes
    int64_t outputOffset = 0;  // where its first record goes
    EncodeResult result;
    bool heldMessages = false;  // encoding would have written messages
    uint32_t observed[MAX_COLS];
    uint32_t widths[MAX_COLS];
  };

  void planEncoding(EncodePlan* plan) const;
  // Encodes row r into record (room for recordLength + a record header) and
  // returns its bytes.
  std::size_t encodeRow(const RowContent& row, uint32_t r, unsigned char* record,
                        const EncodePlan& plan);
  // Encodes rowCount rows from nextRow (as LineRereader::next) through the
  // staging buffer into sink; the last staged bytes are left to the caller.
  template <typename NextRow>
  EncodeResult encodeRows(NextRow nextRow, uint32_t firstRow, uint32_t rowCount, RecordSink& sink,
                          unsigned char* staging, const EncodePlan& plan);
  ZUR_COLD void reportRowMissing(uint32_t row);
  ZUR_COLD void reportWriteFailed(uint32_t row, std::size_t sent);
  // While a thread encodes a chunk with held messages (holdMessagesInto a
  // flag), a message is not written: the flag is raised and true returned.
  static bool holdMessage();
  static void holdMessagesInto(bool* flag);
  // Cuts [contentStart, inputSize) into chunks at line feeds.
  void planChunks(int64_t contentStart, unsigned count);
  // First read of one chunk into its observation.
  void observeChunk(Chunk& chunk);
  // Encodes one chunk into the output descriptor (or only counts its bytes
  // when outputFd is -1), messages held or not.
  void encodeChunk(Chunk& chunk, int outputFd, const EncodePlan& plan, unsigned char* staging,
                   bool holdMessages);
  // Second read in chunks, the records from recordsOffset of outputFd on;
  // false when it failed (reported).
  // *recordsEnd receives the offset after the last record.
  bool encodeChunks(int outputFd, int64_t recordsOffset, const EncodePlan& plan,
                    unsigned char* staging, int64_t* recordsEnd);

  // One selected field of the record layout, in record order.
  struct SelectedField {
    uint8_t column;   // index into the column tables
    uint8_t type;     // final type code
    uint8_t group;    // field group as written in the description
    bool hasMaskBit;  // group in 1..64: owns bit group-1 of the masks
    uint16_t length;  // bytes in the record
    bool checkRange;  // numeric column wide enough to hold a value that does not fit
    uint64_t maskBit;
  };

  // Text of a field of a numeric column that is too big for its type (or has
  // more than 15 decimal places): warns, up to a limit per input.
  void checkNumericRange(const SelectedField& f, const char* fieldText, uint32_t length,
                         uint32_t rowIndex);
  // Errors found while reading, reported once the input has ended.
  [[nodiscard]] bool inputReadCompletely(int recordsSeen);
  // Warnings about heading names that are empty or repeated after cleaning.
  void checkHeadingNames(const bool* cleanedEmpty);

  [[nodiscard]] bool computeLayout();
  int writeMetadataFile(int recordsSeen);
  [[nodiscard]] bool inputUnchanged() const;
  ZUR_COLD void traceObservedRow(uint32_t rowIndex) const;
  // Observes one content line (CRs already dropped; readable bytes from its
  // start may be read, at least length + 1) into observed/widths, splitting it
  // into fieldText (MAX_COLS pointers) when it has quotes. Returns its field
  // count. With a block cache (see plain_line::classifyPlainLine; the bytes
  // from blockOrigin to text may be read) successive lines of one buffer
  // share the masks of the block between them. Touches no other state, so
  // threads may observe lines at once, each with its own cache.
  int observeLine(unsigned char* text, size_t length, size_t readable, uint32_t* observed,
                  uint32_t* widths, char** fieldText, const unsigned char* blockOrigin = nullptr,
                  plain_line::BlockCache* blocks = nullptr);
  uint32_t encodeRecord(const RowContent& row, uint32_t rowIndex, unsigned char* body,
                        uint64_t* presentMask);
  void encodeFixedRecord(const RowContent& row, uint32_t rowIndex, unsigned char* body,
                         const uint16_t* fieldOffsets);
  // encodeFixedRecord with the vector number paths, for x86 processors with
  // AVX2 (byte_masks::avx2Available()).
  void encodeFixedRecordAvx2(const RowContent& row, uint32_t rowIndex, unsigned char* body,
                             const uint16_t* fieldOffsets);
  template <bool kVector>
  void encodeFixedRecordWith(const RowContent& row, uint32_t rowIndex, unsigned char* body,
                             const uint16_t* fieldOffsets);
  template <bool kVector, bool kQuiet>
  bool encodeFixedField(const SelectedField& f, const char* fieldText, uint32_t inputLength,
                        uint32_t rowIndex, unsigned char* d);
  // encodeFixedRecord straight from a line without quotes (as
  // reader.nextContentLine gave it), each field parsed where the separator
  // walk finds it, with no field list between. For a line the whole-line
  // splitter does not take or a field that needs a message, the record is to
  // be zeroed again and the line taken by the general path.
  template <bool kVector>
  bool encodeInPlace(const SelectedField& f, const unsigned char* text, uint32_t length,
                     uint32_t rowIndex, unsigned char* d);
  enum InPlace { IN_PLACE_ENCODED, IN_PLACE_NEEDS_MESSAGE, IN_PLACE_NOT_PLAIN };
  InPlace encodeLineInPlace(LineRereader& reader, const unsigned char* line, std::size_t length,
                            uint32_t rowIndex, unsigned char* record, const uint16_t* fieldOffsets);
  InPlace encodeLineInPlaceAvx2(LineRereader& reader, const unsigned char* line,
                                std::size_t length, uint32_t rowIndex, unsigned char* record,
                                const uint16_t* fieldOffsets);
  template <typename Masks, bool kVector>
  InPlace encodeLineInPlaceWith(LineRereader& reader, const unsigned char* line, std::size_t length,
                             uint32_t rowIndex, unsigned char* record,
                             const uint16_t* fieldOffsets);

  ConvertOptions options;
  char magicNumber[8];
  const char* fileName;
  ColumnSpecification columnDescriptions[MAX_COLS];
  uint32_t columnInferredType[MAX_COLS];
  uint32_t columnObservedContent[MAX_COLS];
  uint32_t columnMaxWidth[MAX_COLS];
  char* parsedCols[MAX_COLS];
  int parsedCount;
  bool sawHeader;
  bool usesVariableLengthRecords;
  bool encounteredError;
  // The heading had more than MAX_COLS columns or the layout did not fit the
  // 16-bit offsets: no metadata file (and no header) is written.
  bool inputRejected;
  // Columns stored per row: the heading's columns, at most MAX_COLS.
  uint32_t storedColumns;
  // Input state seen by readIntoBuffer.
  std::size_t unterminatedBytes = 0;
  bool sawInputBytes = false;
  bool lineTooLong = false;
  // Values reported by checkNumericRange.
  uint32_t outOfRangeValues = 0;
  RowStore rowData;
  // Content rows seen (stored in rowData, or only observed with a second read);
  // 64 bits, so that a count past recordLimit is seen on 32-bit targets too.
  uint64_t contentRows;
  uint64_t recordLimit = MAX_RECORDS;
  // encodeFromSecondRead: identity of the input file when it was called.
  bool secondRead;
  bool plainSplit = false;  // plainSplitUsable(*this), taken with the heading
  // The first read's block masks for the line loop's buffer, valid while
  // lineStorageFills stays at blockCacheFills.
  plain_line::BlockCache lineBlocks;
  uint32_t blockCacheFills = 0;
  bool forceGeneralEncoder = false;
  // readAndProcessInChunks: the chunks and the threads that work on them.
  std::vector<Chunk> chunks;
  unsigned workerThreads = 1;
  uint64_t inputDevice;
  uint64_t inputInode;
  int64_t inputSize;
  int64_t inputModifiedSeconds;
  int64_t inputModifiedNanoseconds;

  // Layout chosen by completedFile, in record order.
  std::vector<ColumnWidthInfo> columnOrder;
  UniversalMetaData_FieldDescription fieldDescriptions[MAX_COLS];
  SelectedField selected[MAX_COLS];
  uint32_t selectedTotal;
  uint32_t recordLength;
};

// Converts one input file into outputFile (and outputFile + ".hpp" with
// --cpp). Returns -1 when the input cannot be opened, else 1 when the
// conversion reported an error and 0 when it did not.
int convertFile(const char* fileName, const char* outputFile, const Narvelix::ConvertOptions* opt);
