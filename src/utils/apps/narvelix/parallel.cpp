// One regular file converted on several threads. The content after the
// heading is cut at line feeds into chunks (a line never holds a line feed,
// so each chunk is whole lines). The first read observes the chunks at once,
// each into its own flags and widths, which are then merged (flags or-ed,
// widths maxed, rows summed). The second read encodes the chunks at once,
// each through its own staging buffer, written with pwrite at its final
// offset: the header plus the rows before it times the record length, or,
// for variable-length records, the byte totals of the chunks before it from
// a counting pass. Nothing is shared between the threads but the input
// descriptor (pread) and the read-only layout.
//
// The single-thread read stays the reference: a line of 65536 or more bytes
// ends it (the rows before are counted, "Asked for zero bytes" and the
// refusal follow), bytes after the last line feed are reported, and a chunk
// whose encoding would write a message is encoded again on the calling
// thread, in chunk order, after the others, so the messages come out as one
// thread writes them.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"
#include "utils/apps/narvelix/second_read.hpp"

namespace {

// A line this long (without its line feed) does not fit the reader's buffer
// and ends the single-thread read.
constexpr std::size_t LINE_LIMIT = Read_And_Process_File::TEXT_LINE_BUFFER_SIZE;
constexpr std::size_t STAGING_BYTES = std::size_t{1} << 17;

ssize_t readAt(int fd, void* buffer, std::size_t length, int64_t offset) {
  ssize_t got;
  do {
    got = ::pread(fd, buffer, length, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got;
}

// Runs work(chunk, slot) for every chunk on up to `threads` threads (slot 0
// is the calling thread); each thread takes the next chunk nobody has taken.
// A thread that cannot be started leaves its share to the others.
template <typename Work>
void forEachChunk(std::size_t chunkCount, unsigned threads, Work& work) {
  struct Pool {
    std::atomic<std::size_t> next{0};
    std::size_t count;
    Work* work;
  } pool;
  pool.count = chunkCount;
  pool.work = &work;
  struct Slot {
    Pool* pool;
    unsigned index;
  };
  auto run = [](void* arg) -> void* {
    const Slot* slot = static_cast<const Slot*>(arg);
    for (std::size_t i; (i = slot->pool->next.fetch_add(1)) < slot->pool->count;) {
      (*slot->pool->work)(i, slot->index);
    }
    return nullptr;
  };
  pthread_t ids[Narvelix::MAX_THREADS];
  Slot slots[Narvelix::MAX_THREADS];
  bool started[Narvelix::MAX_THREADS] = {};
  for (unsigned t = 1; t < threads && t < Narvelix::MAX_THREADS; ++t) {
    slots[t] = {&pool, t};
    started[t] = ::pthread_create(&ids[t], nullptr, run, &slots[t]) == 0;
  }
  slots[0] = {&pool, 0};
  run(&slots[0]);
  for (unsigned t = 1; t < threads && t < Narvelix::MAX_THREADS; ++t) {
    if (started[t]) ::pthread_join(ids[t], nullptr);
  }
}

}  // namespace

unsigned Narvelix::threadsToUse(bool* requested) {
  unsigned threads = 1;
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    threads = static_cast<unsigned>(CPU_COUNT(&set));
  }
  if (threads < 1) threads = 1;
  if (threads > MAX_THREADS) threads = MAX_THREADS;
  *requested = false;
  const char* env = std::getenv("NARVELIX_THREADS");
  if (env != nullptr && *env != '\0') {
    char* end = nullptr;
    const long n = std::strtol(env, &end, 10);
    if (*end == '\0' && n >= 1) {
      *requested = true;
      if (static_cast<unsigned long>(n) < threads) threads = static_cast<unsigned>(n);
    }
  }
  return threads;
}

void Narvelix::planChunks(int64_t contentStart, unsigned count) {
  chunks.assign(count, Chunk());
  const int64_t content = inputSize - contentStart;
  int64_t begin = contentStart;
  unsigned char window[4096];
  for (unsigned i = 0; i < count; ++i) {
    int64_t end = inputSize;
    if (i + 1 < count) {
      // The first line start at or after the even cut.
      int64_t at = contentStart + content / count * (i + 1);
      if (at < begin) at = begin;
      // From the byte before it: a line feed there makes the cut a line start.
      // A line too long to convert ends the search: the rest of the file
      // goes to this chunk, whose read finds that line.
      for (int64_t from = at - 1; from < inputSize && from - at < static_cast<int64_t>(LINE_LIMIT);) {
        const ssize_t got = readAt(descriptor, window, sizeof window, from);
        if (got <= 0) break;
        const void* lf = std::memchr(window, '\n', static_cast<std::size_t>(got));
        if (lf != nullptr) {
          end = from + (static_cast<const unsigned char*>(lf) - window) + 1;
          break;
        }
        from += got;
      }
    }
    chunks[i].begin = begin;
    chunks[i].end = end;
    begin = end;
  }
}

void Narvelix::observeChunk(Chunk& chunk) {
  std::memset(chunk.observed, 0, sizeof chunk.observed);
  std::memset(chunk.widths, 0, sizeof chunk.widths);
  LineRereader reader(*this, descriptor);
  if (!reader.ready()) {
    chunk.result.status = EncodeResult::ROW_MISSING;
    return;
  }
  reader.setRange(chunk.begin, chunk.end);
  const bool observe = sawHeader && !inputRejected;
  char* fieldText[MAX_COLS];
  unsigned char* line;
  std::size_t length;
  while (reader.nextRawLine(&line, &length)) {
    if (ZUR_UNLIKELY(length >= LINE_LIMIT)) {
      chunk.rowsBeforeLongLine = chunk.rows;
      return;
    }
    const std::size_t readable = length + reader.lineSlack(line, length);
    // One CR goes with the line end, one more from a content line.
    if (length > 0 && line[length - 1] == '\r') --length;
    if (length > 0 && line[length - 1] == '\r') --length;
    if (observe) {
      observeLine(line, length, readable, chunk.observed, chunk.widths, fieldText,
                  reader.blockOrigin(), reader.blockCache());
    }
    ++chunk.rows;
  }
  const std::size_t unread = reader.unreadBytes();
  if (unread >= LINE_LIMIT) {
    chunk.rowsBeforeLongLine = chunk.rows;
  } else {
    chunk.tailBytes = unread;
  }
}

int Narvelix::readAndProcessInChunks(unsigned threads, int64_t minChunkBytes) {
  if (!secondRead || threads < 2 || !doHeaderLine || COMPONENT_LOG_ENABLED(app, app_trace)) {
    // The trace reports the observation row by row, as one thread makes it.
    return readAndProcessCSV_File();
  }
  auto* heading = static_cast<unsigned char*>(std::malloc(LINE_LIMIT + 1));
  if (heading == nullptr) return readAndProcessCSV_File();
  const ssize_t got = readAt(descriptor, heading, LINE_LIMIT, 0);
  const void* lf = got > 0 ? std::memchr(heading, '\n', static_cast<std::size_t>(got)) : nullptr;
  const int64_t contentStart =
      lf != nullptr ? static_cast<const unsigned char*>(lf) - heading + 1 : 0;
  unsigned count = threads * 4;
  if (lf != nullptr && minChunkBytes > 0 &&
      (inputSize - contentStart) / minChunkBytes < static_cast<int64_t>(count)) {
    count = static_cast<unsigned>((inputSize - contentStart) / minChunkBytes);
  }
  if (lf == nullptr || count < 2) {
    std::free(heading);
    return readAndProcessCSV_File();
  }

  // The heading, as the line loop hands it over.
  sawInputBytes = true;
  recordsProcessed = 0;
  beginFile();
  auto length = static_cast<std::size_t>(contentStart - 1);
  if (length > 0 && heading[length - 1] == '\r') --length;
  if (processHeaderLine(heading, length) == 2) processLine(heading, length);
  std::free(heading);

  planChunks(contentStart, count);
  workerThreads = threads;
  auto observe = [this](std::size_t i, unsigned) { observeChunk(chunks[i]); };
  forEachChunk(chunks.size(), threads, observe);

  uint64_t rows = 0;
  bool longLine = false;
  bool unreadable = false;
  for (Chunk& chunk : chunks) {
    unreadable |= chunk.result.status != EncodeResult::OK;
    if (chunk.rowsBeforeLongLine != UINT64_MAX) {
      rows += chunk.rowsBeforeLongLine;
      longLine = true;
      break;
    }
    chunk.firstRow = static_cast<uint32_t>(rows);
    rows += chunk.rows;
    for (uint32_t i = 0; i < storedColumns; ++i) {
      columnObservedContent[i] |= chunk.observed[i];
      if (chunk.widths[i] > columnMaxWidth[i]) columnMaxWidth[i] = chunk.widths[i];
    }
  }
  recordsProcessed = static_cast<uint32_t>(1 + rows);
  if (sawHeader && !inputRejected) contentRows = rows;
  if (unreadable) {
    LOG_CERR(app_error) << "Out of memory for the input buffer of \"" << fileName << "\""
                        << LOG_ENDLINE;
    encounteredError = true;
    inputRejected = true;
  } else if (longLine) {
    // Where the single read stops: its buffer is full and it asks for no
    // more bytes.
    unsigned char none = 0;
    (void)readIntoBuffer(&none, 0);
  } else {
    // Only the chunk that ends the file can end without a line feed.
    for (const Chunk& chunk : chunks) unterminatedBytes += chunk.tailBytes;
  }
  completedFile(static_cast<int>(recordsProcessed));
  return static_cast<int>(recordsProcessed);
}

void Narvelix::encodeChunk(Chunk& chunk, int outputFd, const EncodePlan& plan,
                           unsigned char* staging, bool holdMessages) {
  chunk.heldMessages = false;
  chunk.result = EncodeResult();
  LineRereader reader(*this, descriptor);
  if (!reader.ready()) {
    chunk.result.status = EncodeResult::ROW_MISSING;
    chunk.result.row = chunk.firstRow;
    return;
  }
  reader.setRange(chunk.begin, chunk.end);
  RecordSink sink;
  sink.descriptor = outputFd;
  sink.offset = chunk.outputOffset;
  holdMessagesInto(holdMessages ? &chunk.heldMessages : nullptr);
  chunk.result = encodeRows(ChunkRows{&reader}, chunk.firstRow, static_cast<uint32_t>(chunk.rows),
                            sink, staging, plan);
  if (chunk.result.status == EncodeResult::OK && !sink.put(staging, chunk.result.staged)) {
    chunk.result.status = EncodeResult::WRITE_FAILED;
    chunk.result.sent = sink.sent;
  }
  holdMessagesInto(nullptr);
  chunk.recordBytes = sink.bytes;
}

bool Narvelix::encodeChunks(int outputFd, int64_t recordsOffset, const EncodePlan& plan,
                            unsigned char* staging, int64_t* recordsEnd) {
  unsigned char* stagings[MAX_THREADS] = {staging};
  unsigned threads = 1;
  while (threads < workerThreads && threads < MAX_THREADS) {
    stagings[threads] = static_cast<unsigned char*>(std::malloc(STAGING_BYTES));
    if (stagings[threads] == nullptr) break;
    ++threads;
  }
  if (usesVariableLengthRecords) {
    // Counting pass: the bytes of each chunk's records give the offsets.
    auto count = [&](std::size_t i, unsigned slot) {
      encodeChunk(chunks[i], -1, plan, stagings[slot], true);
    };
    forEachChunk(chunks.size(), threads, count);
  }
  int64_t offset = recordsOffset;
  for (Chunk& chunk : chunks) {
    chunk.outputOffset = offset;
    offset += usesVariableLengthRecords ? static_cast<int64_t>(chunk.recordBytes)
                                        : static_cast<int64_t>(chunk.rows * recordLength);
  }
  *recordsEnd = offset;
  auto encode = [&](std::size_t i, unsigned slot) {
    encodeChunk(chunks[i], outputFd, plan, stagings[slot], true);
  };
  forEachChunk(chunks.size(), threads, encode);
  for (unsigned t = 1; t < threads; ++t) std::free(stagings[t]);

  // Chunks that would have written messages (or failed) are encoded again
  // here, in order, with their messages.
  for (Chunk& chunk : chunks) {
    if (chunk.result.status == EncodeResult::OK && !chunk.heldMessages) continue;
    encodeChunk(chunk, outputFd, plan, staging, false);
    if (chunk.result.status == EncodeResult::ROW_MISSING) {
      reportRowMissing(chunk.result.row);
      return false;
    }
    if (chunk.result.status == EncodeResult::WRITE_FAILED) {
      // One thread writes fixed-length records in groups of a staging
      // buffer's worth and names the first row of the group that failed.
      uint32_t row = chunk.result.row;
      if (!usesVariableLengthRecords && recordLength != 0) {
        const std::size_t group =
            (STAGING_BYTES - (recordLength + sizeof(UniversalMetaData_ReferenceRecordHeader))) /
                recordLength + 1;
        row -= static_cast<uint32_t>(row % group);
      }
      reportWriteFailed(row, chunk.result.sent);
      return false;
    }
  }
  return true;
}
