// Document extraction: the substring search against std::string::find, the
// scan against a reference splitter at every split of its input, and the
// pending-buffer rules (what is kept while waiting, the limit, compaction,
// bad states).
#include "utils/io/document_stream.hpp"

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/document_stream_reference.hpp"

namespace {

ssize_t find(const std::string& source, const std::string& pattern) {
  return Extract_And_Process_Document_Stream::findSubstringInBlock(
      reinterpret_cast<const unsigned char*>(source.data()), source.size(),
      reinterpret_cast<const unsigned char*>(pattern.data()), pattern.size());
}

ssize_t stdFind(const std::string& source, const std::string& pattern) {
  if (pattern.empty()) return -1;
  const size_t at = source.find(pattern);
  return at == std::string::npos ? -1 : static_cast<ssize_t>(at);
}

std::string captureStderr(const std::function<void()>& action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

std::string pendingText(const Extract_And_Process_Document_Stream& x) {
  return std::string(reinterpret_cast<const char*>(x.pendingContent->startBufferLocation()),
                     x.pendingContent->spaceUsed());
}

TEST(SubstringSearch, FixedCases) {
  struct Case {
    std::string source;
    std::string pattern;
    ssize_t expected;
  };
  const Case cases[] = {
      {"abc", "", -1},
      {"", "a", -1},
      {"abc", "abc", 0},
      {"abc", "abd", -1},
      {"abc", "abcd", -1},
      {"xab", "b", 2},
      {"zzz</d", "</doc>", -1},          // the first '<' leaves no room for the tag
      {"<p></p></doc>", "</doc>", 7},    // the first '<' is not the tag
      {"axbabab", "abab", 3},            // a pattern that overlaps itself
      {"a\rb\n\r\n\r\n", "\r\n\r\n", 4},  // the HTTP end tag after a bare LF
      {"aaab", "aab", 1},
      {"aaaa", "aab", -1},
      {std::string("x\0\xff\0\xff", 5), std::string("\0\xff", 2), 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(find(c.source, c.pattern), c.expected) << c.source << " / " << c.pattern;
  }
}

TEST(SubstringSearch, AgreesWithStdFindOnRandomInput) {
  std::mt19937 rng(12345);
  const std::string alphabets[] = {"ab", std::string("ab\0\xff\r\n", 6)};
  for (const std::string& alphabet : alphabets) {
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    auto randomText = [&](size_t length) {
      std::string s;
      for (size_t i = 0; i < length; ++i) s += alphabet[pick(rng)];
      return s;
    };
    for (int round = 0; round < 100000; ++round) {
      const std::string source = randomText(rng() % 40);
      std::string pattern = randomText(1 + rng() % 6);
      if (round % 3 == 0 && !source.empty()) {  // a pattern that is surely present
        const size_t at = rng() % source.size();
        pattern = source.substr(at, 1 + rng() % 6);
      }
      ASSERT_EQ(find(source, pattern), stdFind(source, pattern)) << source << " / " << pattern;
    }
  }
}

TEST(SubstringSearch, PatternsLongerThanAByteOfShift) {
  std::string pattern(300, 'q');
  pattern[10] = 'r';
  std::string source(1000, 'q');
  source.replace(600, pattern.size(), pattern);
  EXPECT_EQ(find(source, pattern), stdFind(source, pattern));
  EXPECT_EQ(find(source.substr(0, 800), pattern), -1);
}

// ---- the scan against the reference splitter ----

struct SplitCase {
  const char* label;
  std::string prefix;
  std::string endTag;
  std::string stream;
};

std::vector<SplitCase> splitCases() {
  return {
      {"junk, two documents, a partial third", "<doc>", "</doc>",
       "junk<doc>a</doc>zz<doc>b<b>b</doc><doc>c"},
      {"blocks announced by documents", "<d>", "</d>", "<d>++</d>XY<d>+</d>Z<d></d>q<d>+++"},
      {"a block holding prefix and tag", "<d>", "</d>", "<d>+++++++</d><d></d><d>+</d>!"},
      {"self-overlapping prefix and tag", "aab", "abb", "aaabxxabbaabaabbbaababb"},
      {"empty prefix, HTTP end tag", "", "\r\n\r\n",
       "GET\r\n\r\nHost\n\r\n\r\nX\r\n\r\r\n\r\n+\r\n\r\nB\r\n\r"},
      {"one-byte end tag", "$", "\n", "x$a\n$b\n\n$c"},
      {"one-byte prefix equal to the tag", "|", "|", "a|b||c|"},
      {"tag inside the prefix", "<a>", "a>", "<a>x<a>a>"},
      {"long tag", "S", std::string(63, 'e'),
       "S" + std::string(70, 'e') + "S+" + std::string(63, 'e') + "bS" + std::string(62, 'e')},
  };
}

std::vector<StreamEvent> feedInPieces(const SplitCase& c, const std::vector<size_t>& cuts) {
  RecordingExtractor x(c.prefix.c_str(), c.endTag.c_str(), 16);
  size_t from = 0;
  for (size_t cut : cuts) {
    x.feed(c.stream.substr(from, cut - from));
    from = cut;
  }
  x.feed(c.stream.substr(from));
  return x.events;
}

TEST(DocumentStream, EverySplitGivesTheReferenceDocuments) {
  for (const SplitCase& c : splitCases()) {
    const std::vector<StreamEvent> expected = referenceDocuments(c.stream, c.prefix, c.endTag);
    ASSERT_FALSE(expected.empty()) << c.label;
    const size_t n = c.stream.size();
    for (size_t i = 0; i <= n; ++i) {
      ASSERT_EQ(feedInPieces(c, {i}), expected) << c.label << ", split at " << i;
    }
    for (size_t i = 0; i <= n && n <= 64; ++i) {
      for (size_t j = i; j <= n; ++j) {
        ASSERT_EQ(feedInPieces(c, {i, j}), expected) << c.label << ", split at " << i << ", " << j;
      }
    }
    for (size_t piece = 1; piece <= 7; ++piece) {
      std::vector<size_t> cuts;
      for (size_t at = piece; at < n; at += piece) cuts.push_back(at);
      ASSERT_EQ(feedInPieces(c, cuts), expected) << c.label << ", pieces of " << piece;
    }
  }
}

TEST(DocumentStream, CountsTheDocumentsOfACall) {
  RecordingExtractor x("<d>", "</d>");
  EXPECT_EQ(x.feed("<d>a</d><d>b</d><d>"), 2);
  EXPECT_EQ(x.feed("c</d>"), 1);
  EXPECT_EQ(x.feed("zz"), 0);
  EXPECT_EQ(x.documentsProcessed(), 3u);
}

// ---- scanForDocument on bytes placed in the pending buffer ----

int appendAndScan(Extract_And_Process_Document_Stream& x, const std::string& bytes) {
  x.pendingContent->appendDataToBuffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), 0);
  return x.scanForDocument();
}

TEST(DocumentStream, WaitingForAThirdDocumentReturnsMinusOne) {
  RecordingExtractor x("<d>", "</d>");
  EXPECT_EQ(appendAndScan(x, "pre<d>1</d>mid<d>2</d><d>3"), -1);
  ASSERT_EQ(x.events.size(), 2u);
  EXPECT_EQ(x.events[0].bytes, "<d>1</d>");  // the bytes before a prefix are dropped
  EXPECT_EQ(pendingText(x), "<d>3");
}

TEST(DocumentStream, BlockWaitsForAllItsBytes) {
  RecordingExtractor x("<d>", "</d>");
  x.blockLengths = {10};
  EXPECT_EQ(appendAndScan(x, "<d>h</d>0123"), 1);
  EXPECT_EQ(x.scanState, Extract_And_Process_Document_Stream::FIND_BLOCK_LENGTH);
  EXPECT_EQ(appendAndScan(x, "456789"), -1);  // block handed over, then no next prefix
  EXPECT_EQ(x.events, (std::vector<StreamEvent>{{'D', "<d>h</d>"}, {'B', "0123456789"}}));
}

TEST(DocumentStream, RestartStateNothingStopsAfterOneDocument) {
  RecordingExtractor x("<d>", "</d>");
  x.restartScanState = Extract_And_Process_Document_Stream::FIND_NOTHING;
  EXPECT_EQ(x.feed("<d>1</d><d>2</d>"), 1);
  EXPECT_EQ(x.scanState, Extract_And_Process_Document_Stream::FIND_NOTHING);
  EXPECT_EQ(pendingText(x), "<d>2</d>");

  RecordingExtractor withBlock("<d>", "</d>");
  withBlock.restartScanState = Extract_And_Process_Document_Stream::FIND_NOTHING;
  withBlock.blockLengths = {2};
  int handed = 0;
  const std::string err = captureStderr([&] { handed = withBlock.feed("<d>1</d>ab<d>2</d>"); });
  EXPECT_EQ(handed, 1);
  EXPECT_EQ(withBlock.events, (std::vector<StreamEvent>{{'D', "<d>1</d>"}, {'B', "ab"}}));
  EXPECT_EQ(err, "") << "stopping after the block is not a bad state";
}

TEST(DocumentStream, BadScanStateIsReported) {
  struct Case {
    int32_t state;
    const char* message;
  };
  const Case cases[] = {{0, "Bad scan state=0"}, {7, "Bad scan state=7"}, {-3, "Bad scan state=-3"}};
  for (const Case& c : cases) {
    RecordingExtractor x("<d>", "</d>");
    x.scanState = static_cast<Extract_And_Process_Document_Stream::ScanState>(c.state);
    int scanned = 0;
    int fed = 0;
    const std::string err = captureStderr([&] {
      scanned = x.scanForDocument();
      fed = x.feed("<d>1</d>");
    });
    EXPECT_EQ(scanned, -1);
    EXPECT_EQ(fed, -1);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(x.pendingContent->spaceUsed(), 0u) << "nothing appended in a bad state";
  }
}

// ---- pending-buffer rules ----

TEST(DocumentStream, EmptyPrefixScansForTheEndTagFromTheStart) {
  RecordingExtractor x("", "\r\n\r\n");
  EXPECT_EQ(x.scanState, Extract_And_Process_Document_Stream::FIND_END_TAG);
  EXPECT_EQ(x.restartScanState, Extract_And_Process_Document_Stream::FIND_END_TAG);
  EXPECT_EQ(x.feed("A\r\n\r\nB\r\n\r\n"), 2);
  EXPECT_EQ(x.events[1].bytes, "B\r\n\r\n");
}

TEST(DocumentStream, WithoutAPrefixOnlyItsPossibleStartIsKept) {
  RecordingExtractor x("<doc>", "</doc>");
  x.feed("xxxxxxxx<do");
  EXPECT_EQ(pendingText(x), "x<do");
  x.feed("c>1</doc>");
  EXPECT_EQ(x.events, (std::vector<StreamEvent>{{'D', "<doc>1</doc>"}}));
}

TEST(DocumentStream, ConsumedBytesMoveOnlyOncePastHalfTheStorage) {
  RecordingExtractor x("<d>", "</d>", 64);
  x.feed("<d>1</d><d>2</d><d>3");  // 16 bytes consumed: only the offset moves
  EXPECT_EQ(x.pendingContent->startBufferOffset, 16u);
  EXPECT_EQ(pendingText(x), "<d>3");
  x.feed("</d><d>4</d><d>5</d><d>");  // 36 consumed: the rest moves to the front
  EXPECT_EQ(x.pendingContent->startBufferOffset, 0u);
  EXPECT_EQ(pendingText(x), "<d>");
  x.feed("6</d>");  // nothing kept: both offsets return to 0
  EXPECT_EQ(x.pendingContent->startBufferOffset, 0u);
  EXPECT_EQ(x.pendingContent->endBufferOffset, 0u);
  EXPECT_EQ(x.events.size(), 6u);
}

TEST(DocumentStream, DocumentOverTheLimitIsDroppedAndTheNextKept) {
  const char* prefixes[] = {"<d>", ""};
  for (const char* prefix : prefixes) {
    RecordingExtractor x(prefix, "</d>", 8);  // limit 16 x 8 = 128 bytes
    ASSERT_EQ(x.maxPendingBytes(), 128u);
    const std::string big = "<d>" + std::string(300, 'b') + "</d>";
    const std::string next = "<d>small</d>";
    const std::string stream = big + next + big.substr(0, 100) + "</d>" + next;
    const std::string err = captureStderr([&] {
      for (size_t at = 0; at < stream.size(); at += 7) {
        x.feed(stream.substr(at, 7));
        ASSERT_LE(x.pendingContent->bufferLen, 128u);
      }
    });
    EXPECT_EQ(x.events,
              (std::vector<StreamEvent>{{'D', next}, {'D', big.substr(0, 100) + "</d>"}, {'D', next}}))
        << "prefix \"" << prefix << "\"";
    EXPECT_NE(err.find("Document without its end tag within 128 bytes dropped"), std::string::npos)
        << err;
  }
}

TEST(DocumentStream, LimitCanBeRaised) {
  RecordingExtractor x("<d>", "</d>", 8);
  x.setMaxPendingBytes(1000);
  const std::string big = "<d>" + std::string(900, 'b') + "</d>";
  for (size_t at = 0; at < big.size(); at += 100) x.feed(big.substr(at, 100));
  EXPECT_EQ(x.events, (std::vector<StreamEvent>{{'D', big}}));
  x.setMaxPendingBytes(1);
  EXPECT_EQ(x.maxPendingBytes(), Extract_And_Process_Document_Stream::MIN_PENDING_LIMIT);
}

TEST(DocumentStream, BlockOverTheLimitIsSkipped) {
  RecordingExtractor x("<d>", "</d>", 8);
  x.blockLengths = {500, 3};
  const std::string stream = "<d>1</d>" + std::string(500, '<') + "<d>2</d>abc<d>3</d>";
  const std::string err = captureStderr([&] {
    for (size_t at = 0; at < stream.size(); at += 50) x.feed(stream.substr(at, 50));
  });
  EXPECT_EQ(x.events, (std::vector<StreamEvent>{
                          {'D', "<d>1</d>"}, {'D', "<d>2</d>"}, {'B', "abc"}, {'D', "<d>3</d>"}}));
  EXPECT_NE(err.find("Block of 500 bytes over the pending limit of 128 bytes dropped"),
            std::string::npos)
      << err;
}

TEST(DocumentStream, PatternsAreCutTo63Bytes) {
  const std::string longPrefix(70, 'p');
  std::unique_ptr<RecordingExtractor> x;
  const std::string err = captureStderr([&] { x.reset(new RecordingExtractor(longPrefix.c_str(), "e")); });
  EXPECT_EQ(x->documentStartLen, 63u);
  EXPECT_EQ(x->documentStartPrefix[63], 0);
  EXPECT_NE(err.find("Document prefix of 70 bytes cut to 63"), std::string::npos) << err;
}

TEST(DocumentStream, FileBufferIsConsumedWhole) {
  RecordingExtractor x("<d>", "</d>");
  const char text[] = "<d>1</d><d>";
  File_Buffer bfr(32);
  bfr.appendDataToBuffer(reinterpret_cast<const unsigned char*>(text), std::strlen(text), 0);
  EXPECT_EQ(x.scanAndProcessBuffer(&bfr), 1);
  EXPECT_EQ(bfr.spaceUsed(), 0u);
  EXPECT_EQ(pendingText(x), "<d>");
  EXPECT_EQ(x.scanAndProcessBuffer(static_cast<File_Buffer*>(nullptr)), -1);
}

}  // namespace
