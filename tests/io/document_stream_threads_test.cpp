// The document extractor fed by an I/O processor's reader thread from a real
// pipe: blocks of a small region cut the stream at arbitrary places, and the
// documents and blocks found agree with the reference splitter.
#include "utils/io/document_stream.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "io/document_stream_reference.hpp"
#include "io/io_processor_test_support.hpp"
#include "utils/io/io_processor.hpp"

TEST(DocumentStreamPipe, ReaderThreadBlocksFeedTheExtractor) {
  std::string stream = "junk";
  for (int i = 0; i < 40; ++i) {
    stream += "<d>" + std::string(static_cast<size_t>(i % 7), 'x') + (i % 3 == 0 ? "++" : "") + "</d>";
    if (i % 3 == 0) stream += "BB";
    stream += "\n";
  }
  RecordingExtractor extractor("<d>", "</d>", 16);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  iotest::Pool pool(8, 24);  // 24-byte blocks: documents span several reads
  IO_Processor io(nullptr, pool.region(), &Extract_And_Process_Document_Stream::addIOblockThenProcess, ends[0],
                  IO_Processor::READ_AND_PROCESS_ON_SAME_THREAD, &extractor, IO_Processor::CONTIGUOUS_FILE_STREAM);
  for (size_t at = 0; at < stream.size(); at += 5) {
    const size_t piece = stream.size() - at < 5 ? stream.size() - at : 5;
    ASSERT_EQ(write(ends[1], stream.data() + at, piece), static_cast<ssize_t>(piece));
  }
  close(ends[1]);
  EXPECT_EQ(io.waitForThreadExit(IO_Processor::READ_THREAD), 0);
  close(ends[0]);
  EXPECT_EQ(extractor.events, referenceDocuments(stream, "<d>", "</d>"));
  EXPECT_EQ(extractor.documentsProcessed(), 40u);
}
