#!/usr/bin/env bash
# Mutation check of the test suite: applies hand-picked single-line faults to
# the sources one at a time, rebuilds incrementally and runs ctest on each.
# A mutation is "caught" when a test fails, "missed" when all pass,
# "not-applied" when its text is not found exactly once, "no-build" when the
# faulty source does not compile. The tree is restored after every mutation,
# also when the run is interrupted.
#
# Usage: scripts/mutate.sh [-b build-dir] [-o table-file] [-L ctest-label]
#                          [id ...]
#   -b  build directory (default build-mut; configured on first use)
#   -o  also write the table to this file
#   -L  run only tests with this CTest label (default: the whole suite)
#   ids run only these mutations (default: all)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build-mut
table_file=
label=
while getopts "b:o:L:" opt; do
  case $opt in
    b) build=$OPTARG ;;
    o) table_file=$OPTARG ;;
    L) label=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
wanted=" $* "

# id @@ file @@ original text (exactly once in the file; \n for a line
# break) @@ replacement @@ what the fault is
mutations=$(cat <<'EOF'
split-start @@ src/utils/io/read_file/csv_split.cpp @@ fieldList[separators] = reinterpret_cast<char*>(hit + 1); @@ fieldList[separators] = reinterpret_cast<char*>(hit); @@ CSV splitter: field starts on its separator
split-short @@ src/utils/io/read_file/csv_split.cpp @@ for (size_t i = 0; i <= last; ++i) { @@ for (size_t i = 0; i < last; ++i) { @@ CSV splitter: short tail mask misses the terminator
split-quote @@ src/utils/io/read_file/csv_split.cpp @@ wr[-1] = quote; @@ wr[-1] = 'x'; @@ CSV splitter: doubled quote not unescaped
cr-strip @@ src/utils/apps/narvelix/scan.cpp @@ if (length > 0 && text[length - 1] == '\r') --length; @@ (void)0; @@ scan: CR before LF kept in content
cr-strip2 @@ src/utils/apps/narvelix/second_read.cpp @@ --*length;\n  if (*length > 0 && (*line)[*length - 1] == '\r') --*length; @@ --*length; @@ second read: second CR of CR CR LF kept
layout-width @@ src/utils/apps/narvelix/layout.cpp @@ const uint32_t withTerminator = columnMaxWidth[i] + 1; @@ const uint32_t withTerminator = columnMaxWidth[i]; @@ layout: text field without room for its terminator
layout-round @@ src/utils/apps/narvelix/layout.cpp @@ length = withTerminator + ((0u - withTerminator) & 7u); @@ length = withTerminator; @@ layout: text field length not rounded to 8
record-round @@ src/utils/apps/narvelix/layout.cpp @@ recordLength = fieldOffset + ((0u - fieldOffset) & 7u); @@ recordLength = fieldOffset; @@ layout: record length not rounded to 8
mask-bit @@ src/utils/apps/narvelix/layout.cpp @@ (uint64_t{1} << (columnSpec.fieldGroup - 1)) @@ (uint64_t{1} << columnSpec.fieldGroup) @@ layout: group mask bit shifted by one
mask-range @@ src/utils/apps/narvelix/layout.cpp @@ columnSpec.fieldGroup <= 64; @@ columnSpec.fieldGroup < 64; @@ layout: group 64 loses its mask bit
range-check @@ src/utils/apps/narvelix/layout.cpp @@ ? columnMaxWidth[i] >= 19 @@ ? columnMaxWidth[i] >= 20 @@ layout: 19-digit 64-bit values skip the range check
text-cut @@ src/utils/apps/narvelix/encode.cpp @@ copyLength = f.length - 1u; @@ copyLength = f.length; @@ encoder: cut text overwrites its terminator
inplace-quiet @@ src/utils/apps/narvelix/encode_fixed.cpp @@ return encodeFixedField<kVector, true>(f, reinterpret_cast<const char*>(text), length, @@ return encodeFixedField<kVector, false>(f, reinterpret_cast<const char*>(text), length, @@ in-place encoder: warns for a line it then gives up
inplace-column @@ src/utils/apps/narvelix/encode_fixed.cpp @@ if (k == selectedTotal || selected[k].column != column) return; @@ if (k == selectedTotal || selected[k].column < column) return; @@ in-place encoder: deleted columns taken for the selected ones
inplace-order @@ src/utils/apps/narvelix/encode.cpp @@ if (k > 0 && selected[k].column <= selected[k - 1].column) plan->inPlace = false; @@ (void)0; @@ in-place encoder: reordered fields taken in column order
group-digits @@ src/utils/apps/narvelix/heading.cpp @@ char* digits = heading + 1; @@ char* digits = heading + 2; @@ heading: group number read from the wrong byte
guard-decimals @@ src/utils/apps/narvelix/input_guard.cpp @@ if (++decimals > 15) return false; @@ if (++decimals > 16) return false; @@ input guard: 16 decimal places accepted
precision-clamp @@ src/utils/base/text2int/parse.cpp @@ constexpr int_fast8_t MAX_PARSE_PRECISION = 15; @@ constexpr int_fast8_t MAX_PARSE_PRECISION = 14; @@ number parser: precision clamp at 14
digit-limit @@ src/utils/base/text2int/parse.cpp @@ if (integerDigits == 0 || integerDigits > 19) return false; @@ if (integerDigits == 0 || integerDigits > 20) return false; @@ number parser: 20 integer digits on the plain path
format-digits @@ src/utils/base/text2int/format.cpp @@ if (v >= 100u) { @@ if (v > 100u) { @@ number formatter: 100 printed with too few digits
format-precision @@ src/utils/base/text2int/format.cpp @@ if (ZUR_UNLIKELY(usedPrecision > 10u)) { @@ if (ZUR_UNLIKELY(usedPrecision > 9u)) { @@ number formatter: precision 10 treated as damaged
rename @@ src/utils/apps/narvelix/output_file.cpp @@ if (::rename(tempName_, finalName_) != 0) { @@ if (false) { @@ output file: finished temporary never renamed
reader-index @@ src/utils/metadata/metadata_reader/reader_records.cpp @@ if (index >= header_.totalRecords) { @@ if (index > header_.totalRecords) { @@ reader: record index one past the end accepted
reader-length @@ src/utils/metadata/metadata_reader/reader_open.cpp @@ if (length > imageSize_ - pos) { @@ if (length > imageSize_ - pos + 8) { @@ reader: record running past the file end accepted
reader-group @@ src/utils/metadata/metadata_reader/reader_open.cpp @@ if (group == 0 || group > 64) { @@ if (group == 0 || group > 65) { @@ reader: group 65 accepted as masked
reader-int32 @@ src/utils/metadata/metadata_reader/reader_records.cpp @@ if (wide < INT32_MIN || wide > INT32_MAX) { @@ if (wide < INT32_MIN || wide >= INT32_MAX) { @@ reader: INT32_MAX refused as int32
dump-quote @@ src/utils/metadata/metadata_dump/number_text.cpp @@ needsQuote[static_cast<unsigned char>('\r')] = true; @@ (void)0; @@ dump: CR in a cell left unquoted
clock-carry @@ src/utils/time/time_point.cpp @@ fraction %= UNITS_PER_SECOND; @@ (void)0; @@ time point: fraction not carried into seconds
clock-minutes @@ src/utils/time/time_point.cpp @@ expandedTime.tm_min = sinceMidnight / 60 % 60; @@ expandedTime.tm_min = sinceMidnight / 60; @@ time point: minutes not reduced mod 60
tick-carry @@ src/utils/time/tick_time.cpp @@ nanoseconds %= NANOSECONDS_PER_SECOND; @@ (void)0; @@ tick clock: nanoseconds not carried
region-offset @@ src/utils/base/circular_bfr/region.cpp @@ if (offset > regionLength || regionLength - offset < recordLen) return nullptr; @@ if (offset > regionLength) return nullptr; @@ region: record running past the region end followed
var-text @@ src/utils/shared_vars/shared_variable/record_text.cpp @@ const char* text = varName + nameBytes; @@ const char* text = varName + nameBytes + 1; @@ shared variable: string value read one byte late
path-dotdot @@ src/utils/io/mapped_file/path_resolve.cpp @@ } else if (i > 1 && isElement(e, "/..") @@ } else if (i > 0 && isElement(e, "/..") @@ path: ".." folds away the first element
log-flag-name @@ src/utils/logging/logging_api/log_flags.cpp @@ if (srcLen > destSize - 1) srcLen = destSize - 1; @@ if (srcLen > destSize) srcLen = destSize; @@ log flags: flag name fills its buffer without a terminator
pool-tail @@ src/utils/base/circular_bfr/circular_manager.cpp @@ __atomic_store_n(&h->offset_endActiveList, previous, __ATOMIC_RELAXED); @@ (void)0; @@ pool: active tail not moved back when the last block returns
pool-reset @@ src/utils/base/circular_bfr/circular_manager.cpp @@ __atomic_store_n(&rec->usedLen, SHARED_BUFFER_UNFILLED, __ATOMIC_RELAXED); @@ (void)0; @@ pool: a reused block keeps its old fill length
pool-unlink @@ src/utils/base/circular_bfr/circular_manager.cpp @@ __atomic_store_n(&nativeRecord(previous)->offset_nextInChain, next, __ATOMIC_RELAXED); @@ (void)0; @@ pool: a returned middle block stays linked
pool-push @@ src/utils/base/circular_bfr/circular_manager.cpp @@ __atomic_store_n(&h->offset_startFreeList, offset, __ATOMIC_RELAXED); @@ (void)0; @@ pool: a returned block never reaches the free list
area-whole @@ src/utils/base/circular_bfr/fixed_manager.cpp @@ if (leftOver < blockSize + RECORD_LEN) { @@ if (leftOver < blockSize) { @@ free area: a remainder without room for its record is split off
var-parent @@ src/utils/shared_vars/shared_variable/manager.cpp @@ parentOffset = at - regionBase; @@ parentOffset = 0; @@ shared variable: parent node offset not recorded
var-take @@ src/utils/shared_vars/shared_variable/manager.cpp @@ for (SharedMemoryVariable* variable : *list) variable->variableManager = this; @@ (void)0; @@ shared variable: taken-over variables keep their old manager
var-forget @@ src/utils/shared_vars/shared_variable/manager.cpp @@ manager->deferredList->remove(variable); @@ (void)0; @@ shared variable: a destroyed deferred variable stays listed
var-path @@ src/utils/shared_vars/shared_variable/variable.cpp @@ bfr[used++] = '/'; @@ bfr[used++] = '.'; @@ shared variable: full name joined with the wrong separator
mutex-wanted @@ src/utils/base/timed_mutex/timed_mutex.cpp @@ zur::statAdd(statistics->locksWanted, 1); @@ (void)0; @@ timed mutex: lock requests not counted
mutex-owner @@ src/utils/base/timed_mutex/timed_mutex.cpp @@ if (statistics != nullptr) zur::statStore(statistics->lockHeldBy, Ticks{0}); @@ (void)0; @@ timed mutex: owner kept after unlock
io-queue-advance @@ src/utils/io/io_processor/io_processor.cpp @@ __atomic_store_n(&queueHead, queueHead + count, __ATOMIC_RELEASE); @@ __atomic_store_n(&queueHead, queueHead + 1, __ATOMIC_RELEASE); @@ I/O processor: a batch moves the queue by one block
mask-range-end @@ include/utils/base/byte_masks.hpp @@ const Word lowAbove = low7 + ONES * (0x7Fu - (m & 0x7Fu)); @@ const Word lowAbove = low7 + ONES * (0x80u - (m & 0x7Fu)); @@ byte masks: a range's last byte left out (portable)
held-messages @@ src/utils/apps/narvelix/parallel.cpp @@ holdMessagesInto(holdMessages ? &chunk.heldMessages : nullptr); @@ holdMessagesInto(holdMessages ? nullptr : nullptr); @@ threads: a chunk's messages written at once, not after the chunks before
block-masks-refill @@ src/utils/io/read_file/read_loops.cpp @@ for (;;) {\n    ++lineStorageFills; @@ for (;;) { @@ line loop: block masks kept across a buffer refill
block-masks-first @@ include/utils/io/plain_line.hpp @@ if (offset == 0) valid &= ~bitRange(0, static_cast<unsigned>(first));\n    BlockMasks m; @@ BlockMasks m; @@ plain lines: bytes of the line before in the first block classed
log-percent @@ src/utils/logging/logging_api/log_render.cpp @@ if (doubled) ++runEnd;  // "%%": the run keeps one '%' @@ (void)0; @@ log renderer: a doubled percent sign loses its second half
log-thread-gap @@ src/utils/logging/logging_api/log_render.cpp @@ cached.len = static_cast<uint8_t>(len + 1); @@ cached.len = static_cast<uint8_t>(len); @@ log prefix: thread id not followed by a blank
log-name-sep @@ src/utils/logging/logging_api/log_render.cpp @@ line.addConstant((prefixWithFlags & LOG_LINE_NUMBER) ? SEPARATORS : SEPARATORS + 1, 1); @@ line.addConstant(SEPARATORS + 1, 1); @@ log prefix: file name and line number joined by a blank
log-prefix-second @@ src/utils/logging/logging_api/log_convert.cpp @@ if (cached.second != seconds || cached.fields != fields) { @@ if (cached.fields != fields) { @@ log prefix: the date and time of an earlier second kept
log-number-lead @@ src/utils/logging/logging_api/log_render.cpp @@ case 1:\n      at[0] = text[0]; @@ case 1: @@ log renderer: a number's leading digit not copied
log-direct-gather @@ src/utils/logging/logging_api/log_render.cpp @@ line.elements[0] = iovec{line.bfrBase, log_render::gather(line)}; @@ line.elements[0] = iovec{line.bfrBase, log_render::gather(line) - 1}; @@ log renderer: a gathered direct line loses its last byte
split-blanks @@ src/utils/logging/logging_api/log_split.cpp @@ cut = lastKept; @@ cut = i; @@ long-line split: blanks before the cut kept in the piece
split-separator @@ src/utils/logging/logging_api/log_split.cpp @@ cut = i + 1; @@ cut = i; @@ long-line split: separator moved to the next piece
log-file-suffix @@ src/utils/logging/logging_api/log_manager.cpp @@ app != nullptr ? app : "log", ".log", inDir, @@ app != nullptr ? app : "log", ".txt", inDir, @@ log manager: log file named with the wrong suffix
flag-placeholder @@ src/utils/logging/logging_api/log_flags.cpp @@ return index < 32 ? 1u << index : 0u; @@ return index < 32 ? 1u << (index - 1) : 0u; @@ log flags: placeholder bit one below its record
bin-padding @@ src/utils/logging/logging_api/log_binary.cpp @@ (LOG_BINARY_ALIGNMENT - length % LOG_BINARY_ALIGNMENT) % LOG_BINARY_ALIGNMENT @@ (LOG_BINARY_ALIGNMENT - length % LOG_BINARY_ALIGNMENT) @@ binary log: aligned values padded by a whole word
bin-value-header @@ src/utils/logging/logging_api/log_binary_read.cpp @@ if (vh.headerLen != LogLineBinaryValueHeader::HEADER_LEN) return bad @@ if (false) return bad @@ binary log reader: value header length not checked
doc-prefix-keep @@ src/utils/io/read_file/document_stream.cpp @@ const size_t keep = documentStartLen > 0 ? documentStartLen - 1 : 0; @@ const size_t keep = documentStartLen > 1 ? documentStartLen - 2 : 0; @@ document stream: a prefix cut by a block boundary is lost
doc-compact-empty @@ src/utils/io/read_file/document_stream.cpp @@ (p->startBufferOffset >= p->bufferLen / 2 || p->spaceUsed() == 0) @@ (p->startBufferOffset >= p->bufferLen / 2) @@ document stream: emptied pending buffer keeps its offsets
http-length-max @@ src/utils/io/read_file/http_stream.cpp @@ if (value > (Parse_And_Process_HTTP_Stream::MAX_CONTENT_LENGTH - digit) / 10) return -1; @@ if (value > Parse_And_Process_HTTP_Stream::MAX_CONTENT_LENGTH / 10) return -1; @@ HTTP: Content-Length 2^31 accepted
http-length-empty @@ src/utils/io/read_file/http_stream.cpp @@ if (*text == 0) return -1; @@ (void)0; @@ HTTP: empty Content-Length taken as 0
http-header-case @@ src/utils/io/read_file/http_stream.cpp @@ return (c >= 'A' && c <= 'Z') ? @@ return (c >= 'A' && c <= 'S') ? @@ HTTP: header names compared with case for letters past S
search-shift @@ src/utils/io/read_file/document_stream.cpp @@ for (size_t k = 0; k + 1 < m; ++k) shift[pattern[k]] @@ for (size_t k = 1; k + 1 < m; ++k) shift[pattern[k]] @@ substring search: skip table misses the pattern's first byte
search-skip-cmp @@ src/utils/io/read_file/document_stream.cpp @@ if (b == last && std::memcmp(src + i - (m - 1), pattern, m - 1) == 0) { @@ if (b == last && std::memcmp(src + i - (m - 1), pattern, m - 2) == 0) { @@ substring search: skip search leaves a byte before the last unchecked
search-sse-cmp @@ src/utils/io/read_file/document_stream.cpp @@ if (std::memcmp(src + at + 1, pattern + 1, m - 2) == 0) return static_cast<ssize_t>(at); @@ if (m < 4 || std::memcmp(src + at + 1, pattern + 1, m - 3) == 0) return static_cast<ssize_t>(at); @@ substring search: SSE2 candidates accepted on their ends alone
tick-interval @@ src/utils/time/tick_time.cpp @@ if (diff < maxTolerableTickInterval.load(std::memory_order_relaxed)) { @@ if (diff <= maxTolerableTickInterval.load(std::memory_order_relaxed)) { @@ tick clock: a reading exactly the tolerable interval old interpolated
cpu-rate @@ src/utils/time/tick_time.cpp @@ rate = megahertz / 1000.0; @@ rate = megahertz / 1024.0; @@ tick clock: cpuinfo megahertz scaled by 1024
day-end @@ include/utils/time/time_point.hpp @@ return t >= localMidnightEpoch && t < localEndOfDayEpoch; @@ return t >= localMidnightEpoch && t <= localEndOfDayEpoch; @@ day cache: the next midnight counted in the day
bin-length @@ src/utils/logging/logging_api/log_binary_read.cpp @@ if (len < LogLineBinaryHeader::HEADER_LEN || len % LOG_BINARY_ALIGNMENT != 0 @@ if (len < 40 || len % LOG_BINARY_ALIGNMENT != 0 @@ binary log reader: a record shorter than its header accepted
list-selfloop @@ src/utils/base/circular_bfr/region.cpp @@ if (following == rec) { @@ if (false) { @@ region check: a record linking to itself not named
var-text-room @@ include/utils/shared_vars/shared_variable.hpp @@ const size_t room = static_cast<size_t>(avail) - 1; @@ const size_t room = static_cast<size_t>(avail); @@ shared variable: text fills its space without a terminator
label-slot @@ src/utils/logging/logging_api/log_record.cpp @@ const uint32_t s = static_cast<uint32_t>(level >> 11) + 7u; @@ const uint32_t s = static_cast<uint32_t>(level >> 11) + 8u; @@ log labels: a user label stored one slot late
mutex-obtained @@ src/utils/base/timed_mutex/timed_mutex.cpp @@ zur::statAdd(s->locksObtained, 1); @@ (void)0; @@ timed mutex: obtained locks not counted
cond-completed @@ src/utils/base/timed_mutex/timed_mutex.cpp @@ zur::statAdd(statistics->waitsCompleted, 1); @@ (void)0; @@ timed condition: completed waits not counted
prefix-strip @@ src/utils/logging/logging_api/log_prefix.cpp @@ if (fileName[i] == '/' && ++slashesSeen == strip + 1) { @@ if (fileName[i] == '/' && ++slashesSeen == strip) { @@ log prefix: one leading folder too few stripped
hex-table @@ src/utils/base/text2int/tables.cpp @@ REP16(M, 176) REP16(M, 192) @@ REP16(M, 176) REP16(M, 176) @@ format tables: bytes C0..CF get the texts of B0..BF
digit-row @@ src/utils/base/text2int/tables.cpp @@ REP16(M, 48) REP16(M, 64) @@ REP16(M, 48) REP16(M, 48) @@ number tables: bytes 40..4F get the digits' entries
heading-cr @@ src/utils/io/read_file/read_loops.cpp @@ if (length > 0 && line[length - 1] == '\r') --length;\n  if (hasHeader) { @@ if (hasHeader) { @@ text loop: heading line keeps the CR before its LF
line-cr @@ src/utils/io/read_file/read_loops.cpp @@ if (length > 0 && line[length - 1] == '\r') --length;\n      processLine(line, length); @@ processLine(line, length); @@ text loop: content lines keep the CR before their LF
block-whole @@ src/utils/io/read_file/read_loops.cpp @@ while (bfr.spaceUsed() >= recordLen) { @@ while (bfr.spaceUsed() > recordLen) { @@ block loop: a block that ends the data is held back
type-partial @@ src/utils/io/read_file/file_type.cpp @@ if (matchFileHeader(row, header, sizeof header) == mask) return row; @@ if ((matchFileHeader(row, header, sizeof header) & mask) != 0) return row; @@ file type: a row chosen when only some of its bytes match
type-short @@ src/utils/io/read_file/file_type.cpp @@ if (got != HEADER_BYTES || table[0].readInterfaceRoutine == nullptr) return nullptr; @@ if (got < 2 || table[0].readInterfaceRoutine == nullptr) return nullptr; @@ file type: a file shorter than the probe is matched
qname-cut @@ src/utils/io/mapped_file/qualified_name.cpp @@ if (static_cast<size_t>(n) >= room) { @@ if (static_cast<size_t>(n) > room) { @@ qualified name: a name without room for its terminator accepted
paths-room @@ src/utils/io/read_file/open_close.cpp @@ if (total >= pathLen) { @@ if (total > pathLen) { @@ path search: a candidate without room for its terminator tried
map-reset-whole @@ src/utils/io/mapped_file/mapped_file.cpp @@ if (reset) mapLen = zeroFill(fd, mapLen, fileName); @@ (void)0; @@ mapped file: reset of the whole file leaves its contents
reader-mult8 @@ src/utils/metadata/metadata_reader/reader_open.cpp @@ if (length % 8 != 0) { @@ if (length % 4 != 0) { @@ reader: variable record length of 4 mod 8 accepted
http-fold @@ src/utils/io/read_file/http_stream.cpp @@ if (length > 0 && isBlank(line[0])) { @@ if (length > 0 && line[0] == '\t') { @@ HTTP: header line folded with a blank taken as a header
doc-min-pending @@ src/utils/io/read_file/document_stream.cpp @@ maxPendingBytes_ = limit < MIN_PENDING_LIMIT ? MIN_PENDING_LIMIT : limit; @@ maxPendingBytes_ = limit; @@ document stream: pending limit set below its minimum
reader-fix-int @@ src/utils/metadata/metadata_reader/reader_records.cpp @@ if (precision != 0) signedValue /= POWERS_OF_10[precision]; @@ (void)0; @@ reader: integral fixed-point value not scaled to an integer
hdr-pack @@ src/utils/apps/narvelix/cpp_header.cpp @@ std::fprintf(out, "#pragma pack(push,1) @@ std::fprintf(out, "#pragma pack(push,8) @@ C++ header: dense struct packed to 8 bytes
hdr-dense-width @@ src/utils/apps/narvelix/cpp_header.cpp @@ if (!options.useDensePacking) width += (0u - width) & 7u; @@ width += (0u - width) & 7u; @@ C++ header: dense text member rounded up to 8
hdr-group @@ src/utils/apps/narvelix/cpp_header.cpp @@ static_cast<int>(column.fieldGroup), column.fieldName, typeName, s); @@ static_cast<int>(column.fieldGroup) + 1, column.fieldName, typeName, s); @@ C++ header: optional field described with the next group
group-outside @@ src/utils/apps/narvelix/heading.cpp @@ if (kept == 0 || kept > 64) { @@ if (kept > 64) { @@ heading: group 0 not reported as written in every record
group-kept @@ src/utils/apps/narvelix/heading.cpp @@ const uint32_t kept = group & 0xFFu; @@ const uint32_t kept = group; @@ heading: group number past 255 not cut to its byte
dump-absent @@ include/utils/metadata/metadata_reader.hpp @@ return isFieldPresent(field) ? recordData_ + fieldOffsets_[field] : nullptr; @@ return recordData_ != nullptr && field < totalFields() ? recordData_ + fieldOffsets_[field] : nullptr; @@ reader: an absent field handed out as data
EOF
)

backup=$(mktemp -d)
current=
restore() {
  if [ -n "$current" ] && [ -f "$backup/saved" ]; then
    # A fresh time stamp, so that the next build compiles the restored text.
    cp "$backup/saved" "$root/$current" && touch "$root/$current"
  fi
  current=
}
cleanup() { restore; rm -rf "$backup"; }
trap cleanup EXIT
trap 'echo "interrupted: tree restored" >&2; exit 130' INT TERM

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
    -DUTILS_BUILD_BENCH=OFF >/dev/null || exit 1
fi
# A mutation counts as caught at its first failing test. The install check
# and the client build compile whole programs and take minutes per mutation:
# they are left out.
ctest_args=(--test-dir "$build" -j2 --timeout 120 --stop-on-failure
            -E '^(InstallConsumesPackage|ExampleReadsTrades)$')
[ -n "$label" ] && ctest_args+=(-L "$label")

# Only what the tests run: the tools, the test programs and the fuzz replays
# (the example, which converts with the tool it just built, is left out).
targets=$(cmake --build "$build" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p' |
          grep -E '^(test_|fuzz_|narvelix)')
build_tests() { cmake --build "$build" -j2 --target $targets; }
echo "checking that the unmutated tree builds and passes" >&2
build_tests >/dev/null 2>&1 || { echo "build fails unmutated" >&2; exit 1; }
ctest "${ctest_args[@]}" >/dev/null 2>&1 || { echo "tests fail unmutated" >&2; exit 1; }

results=()
while IFS= read -r line; do
  [ -z "$line" ] && continue
  id=$(awk -F' @@ ' '{print $1}' <<<"$line")
  file=$(awk -F' @@ ' '{print $2}' <<<"$line")
  from=$(awk -F' @@ ' '{print $3}' <<<"$line")
  to=$(awk -F' @@ ' '{print $4}' <<<"$line")
  what=$(awk -F' @@ ' '{print $5}' <<<"$line")
  if [ "$wanted" != "  " ] && [[ $wanted != *" $id "* ]]; then continue; fi
  status=not-applied
  by=
  if [ -f "$file" ]; then
    cp -p "$file" "$backup/saved"
    current=$file
    if FROM=$from TO=$to python3 - "$file" <<'PY'
import os, sys
path = sys.argv[1]
src = open(path, encoding="utf-8").read()
old = os.environ["FROM"].replace("\\n", "\n")
new = os.environ["TO"].replace("\\n", "\n")
if src.count(old) != 1:
    sys.exit(3)
open(path, "w", encoding="utf-8").write(src.replace(old, new))
PY
    then
      if ! build_tests >"$build/mutate-$id.log" 2>&1; then
        status=no-build
      else
        out=$(ctest "${ctest_args[@]}" 2>&1)
        if [ $? -eq 0 ]; then
          status=missed
        else
          status=caught
          by=$(grep -E '^\s+[0-9]+ - ' <<<"$out" | sed -E 's/^\s+[0-9]+ - ([^ ]+).*/\1/' | head -2 | paste -sd, -)
        fi
      fi
    fi
    restore
  fi
  row=$(printf '%-17s %-11s %-58s %s' "$id" "$status" "$what" "$by")
  echo "$row"
  results+=("$row")
done <<<"$mutations"

# Leave the build matching the restored sources.
build_tests >/dev/null 2>&1
if [ -n "$table_file" ]; then
  {
    printf '%-17s %-11s %-58s %s\n' id result mutation "failing test (first)"
    printf '%s\n' "${results[@]}"
  } >"$table_file"
fi
caught=$(printf '%s\n' "${results[@]}" | awk '$2 == "caught"' | wc -l)
echo "caught $caught of ${#results[@]}"
