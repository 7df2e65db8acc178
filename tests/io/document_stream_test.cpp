// Document extraction: the substring search against std::string::find on its
// corner cases (random texts are the fuzzer's, in the extractor mode), the
// scan against the reference splitter at every split of its input, and the
// pending-buffer rules (what stays pending, the limit, compaction, bad states).
#include "utils/io/document_stream.hpp"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/document_stream_reference.hpp"

namespace {

using X = Extract_And_Process_Document_Stream;

ssize_t find(const std::string& source, const std::string& pattern) {
  return X::findSubstringInBlock(reinterpret_cast<const unsigned char*>(source.data()), source.size(),
                                 reinterpret_cast<const unsigned char*>(pattern.data()), pattern.size());
}

ssize_t stdFind(const std::string& source, const std::string& pattern) {
  const size_t at = pattern.empty() ? std::string::npos : source.find(pattern);
  return at == std::string::npos ? -1 : static_cast<ssize_t>(at);
}

std::string captureStderr(const std::function<void()>& action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

std::string pendingText(const X& x) {
  return std::string(reinterpret_cast<const char*>(x.pendingContent->startBufferLocation()),
                     x.pendingContent->spaceUsed());
}

TEST(SubstringSearch, AgreesWithStdFind) {
  std::string longPattern(300, 'q');
  longPattern[10] = 'r';
  const std::string longSource = std::string(600, 'q') + longPattern + std::string(100, 'q');
  const std::pair<std::string, std::string> cases[] = {
      {"abc", ""}, {"", "a"}, {"abc", "abc"}, {"abc", "abcd"}, {"xab", "b"},
      {"zzz</d", "</doc>"},         // the first '<' leaves no room for the tag
      {"<p></p></doc>", "</doc>"},  // the first '<' is not the tag
      {"axbabab", "abab"},          // a pattern that overlaps itself
      {"a\rb\n\r\n\r\n", "\r\n\r\n"},
      {std::string("x\0\xff\0\xff", 5), std::string("\0\xff", 2)},
      {longSource, longPattern}, {longSource.substr(0, 800), longPattern},
  };
  for (const auto& [source, pattern] : cases) {
    EXPECT_EQ(find(source, pattern), stdFind(source, pattern)) << source << " / " << pattern;
  }
}

std::vector<std::string> feedInPieces(const std::string& prefix, const std::string& tag,
                                      const std::string& stream, const std::vector<size_t>& cuts) {
  RecordingExtractor x(prefix.c_str(), tag.c_str(), 16);
  size_t from = 0;
  for (size_t cut : cuts) {
    x.feed(stream.substr(from, cut - from));
    from = cut;
  }
  x.feed(stream.substr(from));
  return x.events;
}

TEST(DocumentStream, EverySplitGivesTheReferenceDocuments) {
  const std::string e63(63, 'e');
  const std::vector<std::string> cases[] = {  // prefix, end tag, stream
      {"<doc>", "</doc>", "junk<doc>a</doc>zz<doc>b<b>b</doc><doc>c"},
      {"<d>", "</d>", "<d>++</d>XY<d>+</d>Z<d></d>q<d>+++"},
      {"<d>", "</d>", "<d>+++++++</d><d></d><d>+</d>!"},  // a block holding prefix and tag
      {"aab", "abb", "aaabxxabbaabaabbbaababb"},
      {"", "\r\n\r\n", "GET\r\n\r\nHost\n\r\n\r\nX\r\n\r\r\n\r\n+\r\n\r\nB\r\n\r"},
      {"$", "\n", "x$a\n$b\n\n$c"},
      {"|", "|", "a|b||c|"},  // one-byte prefix equal to the tag
      {"<a>", "a>", "<a>x<a>a>"},
      {"S", e63, "S" + std::string(70, 'e') + "S+" + e63 + "bS" + e63.substr(1)},
  };
  for (const auto& c : cases) {
    const std::string& stream = c[2];
    const Events expected = referenceDocuments(stream, c[0], c[1]);
    ASSERT_FALSE(expected.empty()) << stream;
    const size_t n = stream.size();
    for (size_t i = 0; i <= n; ++i) {
      for (size_t j = i; j <= n; j += (n <= 64 ? 1 : n)) {
        ASSERT_EQ(feedInPieces(c[0], c[1], stream, {i, j}), expected) << stream << " cut " << i << "," << j;
      }
    }
    for (size_t piece = 1; piece <= 7; ++piece) {
      std::vector<size_t> cuts;
      for (size_t at = piece; at < n; at += piece) cuts.push_back(at);
      ASSERT_EQ(feedInPieces(c[0], c[1], stream, cuts), expected) << stream << " pieces of " << piece;
    }
  }
}

// scanForDocument results on bytes placed straight into the pending buffer.
TEST(DocumentStream, ScanResultsAndWhatStaysPending) {
  struct Case {
    const char* prefix;
    const char* endTag;
    std::vector<int> blockLengths;
    X::ScanState restart;
    std::vector<std::string> arrivals;
    std::vector<int> results;
    Events events;
    std::string pending;
  };
  const X::ScanState next = X::FIND_DOC_START;
  const Case cases[] = {
      {"<d>", "</d>", {}, next, {"pre<d>1</d>mid<d>2</d><d>3"}, {-1}, {"D:<d>1</d>", "D:<d>2</d>"}, "<d>3"},
      {"<d>", "</d>", {10}, next, {"<d>h</d>0123", "456789"}, {1, -1}, {"D:<d>h</d>", "B:0123456789"}, ""},
      {"<d>", "</d>", {}, X::FIND_NOTHING, {"<d>1</d><d>2</d>"}, {1}, {"D:<d>1</d>"}, "<d>2</d>"},
      {"<d>", "</d>", {2}, X::FIND_NOTHING, {"<d>1</d>ab<d>2"}, {1}, {"D:<d>1</d>", "B:ab"}, "<d>2"},
      {"<doc>", "</doc>", {}, next, {"xxxxxxxx<do"}, {-1}, {}, "x<do"},  // only a possible prefix start
      {"", "\r\n\r\n", {}, next, {"A\r\n\r\nB\r\n\r\nC"}, {-1}, {"D:A\r\n\r\n", "D:B\r\n\r\n"}, "C"},
  };
  for (const Case& c : cases) {
    RecordingExtractor x(c.prefix, c.endTag);
    if (*c.prefix != 0) x.restartScanState = c.restart;
    x.blockLengths = c.blockLengths;
    std::vector<int> results;
    const std::string err = captureStderr([&] {
      for (const std::string& bytes : c.arrivals) {
        x.pendingContent->appendDataToBuffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                                             bytes.size(), 0);
        results.push_back(x.scanForDocument());
      }
    });
    EXPECT_EQ(results, c.results) << c.arrivals[0];
    EXPECT_EQ(x.events, c.events) << c.arrivals[0];
    EXPECT_EQ(pendingText(x), c.pending) << c.arrivals[0];
    EXPECT_EQ(err, "") << c.arrivals[0];
  }
  EXPECT_EQ(RecordingExtractor("", "x").scanState, X::FIND_END_TAG);
}

TEST(DocumentStream, BadScanStateIsReported) {
  for (const int32_t state : {0, 7, -3}) {
    RecordingExtractor x("<d>", "</d>");
    x.scanState = static_cast<X::ScanState>(state);
    int scanned = 0;
    int fed = 0;
    const std::string err = captureStderr([&] {
      scanned = x.scanForDocument();
      fed = x.feed("<d>1</d>");
    });
    EXPECT_EQ(scanned, -1);
    EXPECT_EQ(fed, -1);
    EXPECT_NE(err.find("Bad scan state=" + std::to_string(state)), std::string::npos) << err;
    EXPECT_EQ(x.pendingContent->spaceUsed(), 0u) << "nothing appended in a bad state";
  }
}

TEST(DocumentStream, ConsumedBytesMoveOnlyOncePastHalfTheStorage) {
  RecordingExtractor x("<d>", "</d>", 64);
  EXPECT_EQ(x.feed("<d>1</d><d>2</d><d>3"), 2);  // 16 bytes consumed: only the offset moves
  EXPECT_EQ(x.pendingContent->startBufferOffset, 16u);
  x.feed("</d><d>4</d><d>5</d><d>");  // 36 consumed: the rest moves to the front
  EXPECT_EQ(x.pendingContent->startBufferOffset, 0u);
  EXPECT_EQ(pendingText(x), "<d>");
  x.feed("6</d>");  // nothing kept: both offsets return to 0
  EXPECT_EQ(x.pendingContent->endBufferOffset, 0u);
  EXPECT_EQ(x.documentsProcessed(), 6u);
}

TEST(DocumentStream, OversizedDocumentsAndBlocksAreDropped) {
  const std::string big = "<d>" + std::string(300, '<') + "</d>";
  const std::string fits = big.substr(0, 100) + "</d>";
  for (const char* prefix : {"<d>", ""}) {
    RecordingExtractor x(prefix, "</d>", 8);  // limit 16 x 8 = 128 bytes
    x.blockLengths = {500, 3};
    const std::string stream = big + "<d>1</d>" + std::string(500, '<') + "<d>2</d>abc" + fits;
    const std::string err = captureStderr([&] {
      for (size_t at = 0; at < stream.size(); at += 7) {
        x.feed(stream.substr(at, 7));
        ASSERT_LE(x.pendingContent->bufferLen, 128u);
      }
    });
    EXPECT_EQ(x.events, (Events{"D:<d>1</d>", "D:<d>2</d>", "B:abc", "D:" + fits})) << prefix;
    EXPECT_NE(err.find("Document without its end tag within 128 bytes dropped"), std::string::npos);
    EXPECT_NE(err.find("Block of 500 bytes over the pending limit of 128 bytes dropped"),
              std::string::npos);
  }
  RecordingExtractor raised("<d>", "</d>", 8);
  raised.setMaxPendingBytes(1000);
  for (size_t at = 0; at < big.size(); at += 100) raised.feed(big.substr(at, 100));
  EXPECT_EQ(raised.events, (Events{"D:" + big}));
  raised.setMaxPendingBytes(1);
  EXPECT_EQ(raised.maxPendingBytes(), X::MIN_PENDING_LIMIT);
}

TEST(DocumentStream, PatternsAreCutTo63Bytes) {
  const std::string longPrefix(70, 'p');
  const std::string err = captureStderr([&] {
    RecordingExtractor x(longPrefix.c_str(), "e");
    EXPECT_EQ(x.documentStartLen, 63u);
    EXPECT_EQ(x.documentStartPrefix[63], 0);
  });
  EXPECT_NE(err.find("Document prefix of 70 bytes cut to 63"), std::string::npos) << err;
}

TEST(DocumentStream, FileBufferIsConsumedWhole) {
  RecordingExtractor x("<d>", "</d>");
  File_Buffer bfr(32);
  bfr.appendDataToBuffer(reinterpret_cast<const unsigned char*>("<d>1</d><d>"), 11, 0);
  EXPECT_EQ(x.scanAndProcessBuffer(&bfr), 1);
  EXPECT_EQ(bfr.spaceUsed(), 0u);
  EXPECT_EQ(pendingText(x), "<d>");
  EXPECT_EQ(x.scanAndProcessBuffer(static_cast<File_Buffer*>(nullptr)), -1);
}

}  // namespace
