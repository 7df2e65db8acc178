// File reading framework: a reader base class that owns one input descriptor,
// reads through a replaceable read routine into a buffer, cuts the bytes into
// text lines or fixed-size blocks and hands them to virtual hooks; the CSV
// reader built on it, which keeps the heading line split into column names and
// splits content lines in place; and the small helpers around them (byte
// window File_Buffer, opening with the standard-stream names "--stdin",
// "--stdout" and "--stderr", file-type selection by leading bytes, search for a
// readable file over directory/name/suffix lists).
//
// Not thread-safe: one reader is driven by one thread. Lines are handed over in
// place inside the reader's 65536-byte buffer; they are valid only during the
// hook call. Nothing here throws; results are int counts, -1 for a failed open
// or search, negative read results passed up, or null pointers.
#pragma once

#include <cstddef>
#include <cstdint>

// A byte window over one allocation: [startBufferOffset, endBufferOffset) holds
// the unconsumed bytes, [endBufferOffset, bufferLen) is free space.
class File_Buffer {
 public:
  // Flag bits of externalBufferFlags. Either bit in EXTERNAL_STORAGE_MASK means
  // the storage belongs to someone else and is not freed here.
  // EXTERNAL_NO_MOVE also forbids moving data inside the storage.
  enum ExternalBufferFlags : uint8_t {
    EXTERNAL_STORAGE = 1,
    EXTERNAL_NO_MOVE = 2,
    EXTERNAL_STORAGE_MASK = 3,
  };

  unsigned char* buffer;
  size_t bufferLen;
  size_t endBufferOffset;
  size_t startBufferOffset;
  uint8_t externalBufferFlags;

  // Allocates bfrSize bytes (new[]), offsets 0, flags 0. When the allocation
  // fails buffer is null and bufferLen 0 (every read then asks for 0 bytes).
  explicit File_Buffer(size_t bfrSize);
  // Adopts caller storage of bfrSize bytes of which the first bytesValid hold
  // data. With flags 0 the storage must come from new[]; it is then freed here.
  File_Buffer(unsigned char* storage, size_t bfrSize, size_t bytesValid, uint8_t flags);
  ~File_Buffer();
  File_Buffer(const File_Buffer&) = delete;
  File_Buffer& operator=(const File_Buffer&) = delete;

  // Same as the adopting constructor; storage owned before is freed first.
  void useRegionAsBuffer(unsigned char* storage, size_t bfrSize, size_t bytesValid, uint8_t flags);

  size_t spaceLeft() const { return bufferLen - endBufferOffset; }
  size_t spaceUsed() const { return endBufferOffset - startBufferOffset; }
  unsigned char* startBufferLocation() const { return buffer + startBufferOffset; }
  unsigned char* endBufferLocation() const { return buffer + endBufferOffset; }
  void adjustBufferEnd(size_t n) { endBufferOffset += n; }
  void adjustBufferStart(size_t amount) { startBufferOffset += amount; }

  // Drops the consumed bytes (before startBufferOffset) and `bytes` more.
  // Owned storage: the kept bytes move to the front. EXTERNAL_NO_MOVE: only the
  // start offset advances (both offsets return to 0 once everything is used).
  void discardInitialBytes(size_t bytes);

  // Appends data[0, dataLen) after the valid bytes, first moving the unconsumed
  // bytes to the front when that makes room. Owned storage that is still too
  // small grows to hold the data plus extraGrowth bytes; external storage takes
  // only what fits. Returns the number of bytes appended.
  size_t appendDataToBuffer(const unsigned char* data, size_t dataLen, size_t extraGrowth);
};

class Read_And_Process_File;

// Read routine: places at most `length` bytes into `buffer`; returns the count,
// 0 at end of input, negative on error.
typedef int (*ReadDataFP)(Read_And_Process_File* reader, unsigned char* buffer, uint32_t length);

// Base class of the stream readers. A derived class overrides the hooks it
// needs and runs one loop once: readAndProcessTextLines (lines cut at LF, one
// trailing CR removed) or readAndProcessBlocksFromFile (fixed-size records).
class Read_And_Process_File {
 public:
  enum ReadModes {
    READ_GUESS = 0,         // read-only; a selector table may choose routine and mode
    READ_NORMAL = 1,        // read-only
    READ_ZLIB = 2,          // read-only (chosen by a selector)
    READ_LZ4 = 4,           // read-only (chosen by a selector)
    READ_PCAP = 8,          // read-only (chosen by a selector)
    WRITE = 16,             // O_WRONLY, the file must exist
    WRITE_APPEND = 48,      // O_WRONLY | O_CREAT | O_APPEND
    WRITE_TRUNCATE = 80,    // O_WRONLY | O_CREAT | O_TRUNC
    READ_FROM_SOCKET = 128  // read-only
  };

  // One row of a caller's file-type table; the table ends with a row whose
  // readInterfaceRoutine is null. Bit n of initialBytesToMatchMask asks byte n
  // of the file to equal bytesToMatch[n]; a mask of 0 matches every file.
  struct FileTypeReaderSelector {
    ReadDataFP readInterfaceRoutine;
    char fileTypeDescription[24];
    ReadModes modeToSelect;
    uint16_t initialBytesToMatchMask;
    unsigned char bytesToMatch[16];
  };

  // Size of the text-line buffer: a line of this many bytes or more (without
  // its LF) ends the input.
  static constexpr size_t TEXT_LINE_BUFFER_SIZE = 65536;
  // Blocks held by the fixed-block loop's buffer.
  static constexpr size_t BLOCKS_PER_BUFFER = 1000;

  File_Buffer* intermediateBuffer;  // optional, owned; deleted by the destructor
  ReadDataFP readRoutine;           // used by readIntoBuffer
  void* auxData;                    // free slot for a read routine's own state
  int descriptor;                   // -1 when none
  uint32_t recordsProcessed;        // lines or blocks delivered in this pass
  ReadModes readMode;
  uint32_t _explicitAlignmentPadding;
  // Set by the line loops: the start and end of the storage that the lines
  // handed to processLine lie in (null outside a loop), and a count of the
  // fills of that storage: its bytes move or change only when it grows.
  const unsigned char* lineStorageStart = nullptr;
  const unsigned char* lineStorageEnd = nullptr;
  uint32_t lineStorageFills = 0;

  // Adopts an open descriptor. readRoutine is the first selector row's routine
  // when selector is not null and that routine is set, else defaultReadRoutine.
  explicit Read_And_Process_File(int fd, ReadModes mode = READ_NORMAL,
                                 const FileTypeReaderSelector* selector = nullptr);
  // Opens fileName with openFile ("--stdin"/"--stdout"/"--stderr" give 0/1/2;
  // a null or empty name or a failed open gives descriptor -1). With READ_GUESS
  // and a table, findTypeOfFile may choose readRoutine and readMode.
  explicit Read_And_Process_File(const char* fileName, ReadModes mode = READ_NORMAL,
                                 const FileTypeReaderSelector* selectorTable = nullptr);
  Read_And_Process_File(const Read_And_Process_File&) = delete;
  Read_And_Process_File& operator=(const Read_And_Process_File&) = delete;

  // Virtual hooks, in slot order.
  // Zero length: warning "Asked for zero bytes", result 0. Otherwise calls
  // readRoutine, then noteDataRead on a positive result; returns its result.
  virtual int readIntoBuffer(unsigned char* buffer, size_t length);
  // Closes descriptor (unless -1) and deletes intermediateBuffer.
  virtual ~Read_And_Process_File();
  // Sees every successful read's bytes. Base: nothing.
  virtual void noteDataRead(const unsigned char* data, size_t length) const;
  // Called once, after the first read delivered data. Base: 0.
  virtual int beginFile();
  // Called once at the end of a loop that got data. Base: returns its argument.
  virtual int completedFile(int recordsProcessed);
  // One content line, not terminated; line[length] is the CR or LF and may be
  // overwritten, and lineSlack(line, length) more bytes behind it may be read
  // (their values are not part of the line). Base: 0.
  virtual int processLine(const unsigned char* line, size_t length);
  // The first line when the loop runs with a header; returning 2 passes the
  // same line to processLine too. Base: 2.
  virtual int processHeaderLine(unsigned char* line, size_t length);
  // One fixed-size block. Base: 0.
  virtual int_fast32_t processBlock(unsigned char* block, size_t length);
  // Unstructured data for readAndProcessFile: consume what you can by moving
  // buffer->startBufferOffset; a negative result stops the loop. Base: 0.
  virtual int processBuffer(File_Buffer* buffer);

  // "--stdin" 0, "--stdout" 1, "--stderr" 2 (nothing opened); otherwise
  // open(fileName, flags of mode, 0666) with sequential-access advice.
  // Failure: trace "Cannot open file=..." and -1.
  static int openFile(const char* fileName, ReadModes mode);
  // -1 stays -1; otherwise the result of close(fd).
  static int closeFile(int fd, ReadModes mode);
  // Reads the first 16 bytes of fileName and returns the first table row that
  // matches them (a row with mask 0 matches at once); null when the file cannot
  // be opened, is shorter than 16 bytes, the table is empty or nothing matches.
  // The standard-stream names give null without touching the stream.
  static const FileTypeReaderSelector* findTypeOfFile(const char* fileName,
                                                      const FileTypeReaderSelector* table);
  // Bit n of the result is set when bit n of the row's mask is set and
  // data[n] == bytesToMatch[n]. data must hold at least 16 bytes.
  static uint32_t matchFileHeader(const FileTypeReaderSelector* row, const unsigned char* data,
                                  size_t length);
  // Tries root[/]name+suffix over the ':'-separated lists (roots outermost,
  // suffixes innermost) and stops at the first candidate readable by access().
  // Returns its length + 1 with the candidate in path, or -1. Candidates that do
  // not fit in pathLen bytes (terminator included) are skipped.
  static int findFileInPathsWithSuffixes(char* path, uint_fast32_t pathLen,
                                         const char* searchRootPaths,
                                         const char* possibleFileNames,
                                         const char* possibleSuffixes);
  // read(reader->descriptor, buffer, length), retried on EINTR. Zero length:
  // warning "Asked for zero bytes", result 0.
  static int defaultReadRoutine(Read_And_Process_File* reader, unsigned char* buffer,
                                uint32_t length);

  void setReadRoutine(ReadDataFP routine) { readRoutine = routine; }

  // Bytes after line[length] (the line's CR or LF included) that a hook may
  // read during processLine: the rest of the loop's buffer, so a whole-block
  // scan may run past the line's end. 0 for a line not in that buffer.
  size_t lineSlack(const unsigned char* line, size_t length) const {
    return lineStorageEnd != nullptr && line + length < lineStorageEnd
               ? static_cast<size_t>(lineStorageEnd - (line + length))
               : 0;
  }

  // Reads into the free space of bfr and extends its valid bytes.
  int readIntoFileBuffer(File_Buffer* bfr);
  // Delivers the first complete line of the unconsumed bytes. Returns the bytes
  // consumed (line + LF), 0 when no LF is present.
  int findAndProcessNextLine(File_Buffer* fileBfr, bool hasHeader);
  // The text-line loop. Returns the lines delivered (header included), or the
  // result of the first read when it gives no data (no hook is called then).
  // Bytes after the last LF are not delivered.
  int readAndProcessTextLines(bool hasHeaderLine);
  // The fixed-block loop over records of recordLen bytes. Returns the blocks
  // delivered, or the first read's result when it gives no data; -1 when the
  // buffer cannot be allocated. A trailing partial block is not delivered.
  int readAndProcessBlocksFromFile(size_t recordLen);
  // Buffer loop: reads into intermediateBuffer (made with 65536 bytes when
  // null) and calls processBuffer after every read until end of input, an
  // error, a negative processBuffer result or a full buffer that processBuffer
  // did not drain. beginFile/completedFile as in the other loops. Returns
  // recordsProcessed (counted by processBuffer) or the first read's result.
  int readAndProcessFile();
};

// CSV reader: the first line (when doHeaderLine) is kept as the heading, split
// into `fields`; derived classes override parsedHeadingLine and processLine and
// split content lines with parseIntoFields.
class CSV_File : public Read_And_Process_File {
 public:
  enum { MAX_FIELDS = 128 };

  unsigned char* headerLine;           // owned copy of the heading, split in place
  unsigned char separatorCharList[8];  // field separators
  unsigned char quoteCharList[8];      // quote characters
  char* fields[MAX_FIELDS];            // heading fields, pointers into headerLine
  int fieldTotal;                      // heading fields found; may exceed MAX_FIELDS
  uint32_t readsPerformed;
  uint8_t separatorListLen;
  uint8_t quoteListLen;  // 0: no quoting
  bool doHeaderLine;

  // Separators `separator` and NUL, quote '"'.
  explicit CSV_File(int fd, bool doHeaderLine = true, char separator = ',');
  // Lists from the strings, at most 7 characters each; a longer string gives a
  // warning and keeps its first 7 characters plus NUL (list length 8). An empty
  // quote string turns quoting off. A null string counts as empty.
  CSV_File(int fd, const char* separators, const char* quotes, bool doHeaderLine = true);
  ~CSV_File() override;

  // Trace "<n> records processed"; returns recordsProcessed.
  int completedFile(int recordsProcessed) override;
  // Copies and splits the heading into fields/fieldTotal, traces every field,
  // calls parsedHeadingLine. Returns 0 (the heading is not a content line).
  int processHeaderLine(unsigned char* line, size_t length) override;
  // Called once the heading fields are known. Base: 0.
  virtual int parsedHeadingLine();

  // readAndProcessTextLines(doHeaderLine).
  int readAndProcessCSV_File();

  // Splits line[0, length) in place: separators end fields (outside quotes), a
  // quote character opens a quoted run anywhere in a field (quotes dropped,
  // runs joined), backslash + quote inside quotes is a literal quote. Writes a
  // NUL at line[length], so the line needs that byte. Stores pointers for the
  // first maxFields fields; returns the total field count (0 for length 0),
  // which may exceed maxFields. Never allocates.
  int parseIntoFields(int maxFields, char** fields, unsigned char* line, size_t length);

  // Index of the first heading field equal to name, else -1 (with trace lines).
  int getFieldIndex(const char* name) const;

  // Delivers the complete lines of packet[0, length) as the text loop does
  // (heading first when doHeaderLine and no heading was seen yet). Bytes after
  // the last LF are ignored. Returns the lines delivered.
  int processPacket(unsigned char* packet, size_t length);

 private:
  // Byte classes for parseIntoFields, rebuilt when the lists change.
  void buildCharClasses();
  unsigned char charClass_[256];
  unsigned char classSeparators_[8];
  unsigned char classQuotes_[8];
  uint8_t classSeparatorLen_;
  uint8_t classQuoteLen_;
  // The distinct bytes with a class (NUL always among them) when there are at
  // most 4, for the 16-byte compare path; count 0 selects the table path.
  unsigned char vectorSpecials_[4];
  uint8_t vectorSpecialCount_;
};
