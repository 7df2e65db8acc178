// Reader behaviour on hand-built metadata files: values of every type from
// fixed- and variable-length records, typed conversions, records read into a
// generated struct, and a clear error for each kind of damaged file.
#include "utils/metadata/metadata_reader.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "golden/types.hpp"
#include "metadata/metadata_file_builder.hpp"

using namespace metadata_test;

namespace {

std::string text(const MetaDataReader &r, uint32_t field) {
  std::string_view v;
  return r.getText(field, v) ? std::string(v) : std::string("<error>");
}

}  // namespace

TEST(MetaDataReader, FixedLengthRecordsGiveEveryTypeBack) {
  const std::string path = writeTestFile("reader_fixed.metadata", sampleFixedFile().bytes);
  MetaDataReader r;
  ASSERT_EQ(r.open(path.c_str()), MetaDataReader::METADATA_OK) << r.errorText();
  EXPECT_STREQ(r.magicNumber(), "METADATA");
  EXPECT_FALSE(r.isVariableLength());
  EXPECT_EQ(r.totalFields(), 6u);
  EXPECT_EQ(r.totalRecords(), 3u);
  EXPECT_EQ(r.fieldIndex("price"), 4);
  EXPECT_EQ(r.fieldIndex("nope"), -1);

  // The values of every type; the text of 16 bytes has no zero byte.
  for (const char* name : {"plain", "a,b \"q\"", "sixteen-chars-xx"}) {
    ASSERT_TRUE(r.nextRecord());
    EXPECT_EQ(text(r, 5), name);
  }
  EXPECT_FALSE(r.nextRecord());
  EXPECT_FALSE(r.hasRecord());
  EXPECT_STREQ(r.errorText(), "");
  ASSERT_TRUE(r.seekRecord(0));
  int32_t i32;
  uint32_t u32;
  int64_t i64;
  uint64_t u64;
  VariableFixedPointValue fp;
  EXPECT_TRUE(r.getInt32(0u, i32) && r.getUint32("count", u32) && r.getInt64("big", i64) &&
              r.getUint64("huge", u64) && r.getFixedPoint("price", fp));
  EXPECT_EQ(std::to_string(i32) + " " + std::to_string(u32) + " " + std::to_string(i64) + " " + std::to_string(u64) +
                " " + std::to_string(fp.value) + "e-" + std::to_string(fp.precision),
            "-42 4000000000 -9223372036854775808 18446744073709551615 1250e-2");
  ASSERT_TRUE(r.seekRecord(2));
  EXPECT_FALSE(r.seekRecord(3));
  EXPECT_NE(std::strstr(r.errorText(), "past the last record"), nullptr) << r.errorText();
}

// Groups 0 and 65..255 own no bit of the record masks: their fields are in
// every record, whatever the mask says, and count towards its length.
TEST(MetaDataReader, FieldsOfGroupsWithoutMaskBitAreInEveryRecord) {
  for (const uint8_t group : {uint8_t{0}, uint8_t{65}, uint8_t{255}}) {
    SCOPED_TRACE(static_cast<int>(group));
    FileBuilder b("VARLEN", 0, 3);
    b.addField({"id", 1, T_INT32, 16, 4});
    b.addField({"always", group, T_UINT32, 20, 4});
    b.addField({"opt", 2, T_STRING, 24, 8});
    struct Row {
      uint64_t mask;
      bool hasId;
      const char *opt;  // null: absent
      uint32_t always;
    };
    const Row rows[] = {{0x3, true, "ab", 7}, {0x0, false, nullptr, 8}, {0x2, false, "c", 9}};
    for (const Row &row : rows) {
      std::vector<uint8_t> body;
      if (row.hasId) appendValue(body, int32_t{-1});
      appendValue(body, row.always);
      if (row.opt != nullptr) appendText(body, row.opt, 8);
      b.addVariableRecord(row.mask, body);
    }
    MetaDataReader r;
    ASSERT_EQ(r.openMemory(b.bytes.data(), b.bytes.size(), "groups"), 0) << r.errorText();
    for (const Row &row : rows) {
      ASSERT_TRUE(r.nextRecord());
      uint32_t always = 0;
      EXPECT_TRUE(r.getUint32("always", always)) << r.errorText();
      EXPECT_EQ(always, row.always);
      EXPECT_EQ(r.isFieldPresent(0), row.hasId);
      EXPECT_EQ(r.isFieldPresent(2), row.opt != nullptr);
      if (row.opt != nullptr) {
        EXPECT_EQ(text(r, 2), row.opt);
      }
    }
    // A record too short for the field that is always there is refused.
    FileBuilder shortRecord = b;
    shortRecord.bytes.resize(24 + 24 * 3);
    shortRecord.put32(16, 1);
    shortRecord.addVariableRecord(0x0, {});
    MetaDataReader s;
    EXPECT_EQ(s.openMemory(shortRecord.bytes.data(), shortRecord.bytes.size(), "short"),
              MetaDataReader::METADATA_BAD_FORMAT);
    EXPECT_NE(std::strstr(s.errorText(), "its present fields need 4 bytes"), nullptr)
        << s.errorText();
  }
}

TEST(MetaDataReader, TypedGettersConvertOnlyExactValues) {
  FileBuilder b("METADATA", 72, 1);
  b.addField({"neg", 1, T_INT32, 0, 4});
  b.addField({"bigU", 1, T_UINT64, 8, 8});
  b.addField({"fixInt", 1, T_FIXED, 16, 16});
  b.addField({"fixDec", 1, T_FIXED, 32, 16});
  b.addField({"text", 1, T_STRING, 48, 8});
  b.addField({"wide", 1, T_INT64, 56, 8});
  b.addField({"max32", 1, T_INT64, 64, 8});
  const std::size_t r0 = b.beginFixedRecord(72);
  b.put32(r0, static_cast<uint32_t>(-1));
  b.put64(r0 + 8, uint64_t{1} << 63);
  b.putFixed(r0 + 16, 1200, 2);  // 12.00: an integer
  b.putFixed(r0 + 32, 1250, 2);  // 12.50: not
  b.putText(r0 + 48, "123");
  b.put64(r0 + 56, uint64_t{1} << 32);
  b.put64(r0 + 64, INT32_MAX);
  MetaDataReader r;
  ASSERT_EQ(r.openMemory(b.bytes.data(), b.bytes.size(), "conversions"), 0) << r.errorText();
  ASSERT_TRUE(r.nextRecord());

  enum Getter { I32, U32, I64, U64, FIX };
  struct Case {
    const char *field;
    Getter getter;
    bool ok;
    int64_t value;          // for signed and fixed results
    const char *errorPart;  // for failures
  };
  const Case cases[] = {
      {"neg", I32, true, -1, nullptr},
      {"neg", I64, true, -1, nullptr},
      {"neg", U32, false, 0, "negative"},
      {"neg", U64, false, 0, "negative"},
      {"bigU", U64, true, 0, nullptr},
      {"bigU", I64, false, 0, "out of int64 range"},
      {"fixInt", I32, true, 12, nullptr},
      {"fixInt", U64, true, 12, nullptr},
      {"fixDec", I64, false, 0, "2 decimal places"},
      {"fixDec", FIX, true, 1250, nullptr},
      {"text", I32, false, 0, "holds text"},
      {"wide", I32, false, 0, "out of int32 range"},
      {"wide", U32, false, 0, "out of uint32 range"},
      {"wide", FIX, true, int64_t{1} << 32, nullptr},
      {"max32", I32, true, INT32_MAX, nullptr},
      {"missing", I32, false, 0, "no field named 'missing'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.field) + " getter " + std::to_string(c.getter));
    int32_t i32 = 0;
    uint32_t u32 = 0;
    int64_t i64 = 0;
    uint64_t u64 = 0;
    VariableFixedPointValue fp{};
    bool ok = false;
    int64_t got = 0;
    switch (c.getter) {
      case I32: ok = r.getInt32(c.field, i32); got = i32; break;
      case U32: ok = r.getUint32(c.field, u32); got = u32; break;
      case I64: ok = r.getInt64(c.field, i64); got = i64; break;
      case U64: ok = r.getUint64(c.field, u64); got = static_cast<int64_t>(u64 & INT64_MAX); break;
      case FIX: ok = r.getFixedPoint(c.field, fp); got = fp.value; break;
    }
    EXPECT_EQ(ok, c.ok) << r.errorText();
    if (c.ok) {
      EXPECT_EQ(got, c.value);
    } else {
      EXPECT_NE(std::strstr(r.errorText(), c.errorPart), nullptr) << r.errorText();
    }
  }
  std::string_view v;
  EXPECT_FALSE(r.getText("neg", v));
  EXPECT_FALSE(r.getText(99u, v));
  EXPECT_NE(std::strstr(r.errorText(), "no field 99"), nullptr) << r.errorText();
}

std::vector<uint8_t> goldenBytes(const std::string &name) {
  const std::string bytes = narvelix_test::readFile(std::string(NARVELIX_SOURCE_DIR) + "/tests/golden/" + name);
  return {bytes.begin(), bytes.end()};
}

// The golden header's struct refuses the golden file it was generated with
// under another magic number or with a field renamed or retyped: the reason
// names what the struct cannot get. (Generated structs reading their files
// are checked by the client test, which compiles them.)
TEST(MetaDataReader, GeneratedStructRefusesOtherFiles) {
  FileBuilder b("METADATA", 0, 0);
  b.bytes = goldenBytes("types.metadata");
  MetaDataReader same;
  ASSERT_EQ(same.openMemory(b.bytes.data(), b.bytes.size(), "typed"), 0);
  EXPECT_TRUE(same.matchesRecordType<Tarquel_MetaDataRecord>()) << same.errorText();
  struct Variant {
    const char *what;
    std::function<void(FileBuilder &)> change;
    const char *errorPart;
  };
  const Variant variants[] = {
      {"magic", [](FileBuilder &f) { std::memcpy(f.bytes.data(), "OTHERMAG", 8); }, "magic number"},
      {"name", [](FileBuilder &f) { f.bytes[24 + 24 * 2 + 8] = 'B'; },
       "the record type's field 'big' is not in the file"},
      {"type", [](FileBuilder &f) { f.bytes[24 + 1] = T_INT32; },
       "field 'id' is SMV_TYPE_INT32 in the file, SMV_TYPE_UINT32 in the record type"},
  };
  for (const Variant &v : variants) {
    SCOPED_TRACE(v.what);
    FileBuilder changed = b;
    v.change(changed);
    MetaDataReader other;
    ASSERT_EQ(other.openMemory(changed.bytes.data(), changed.bytes.size(), "typed"), 0);
    EXPECT_FALSE(other.matchesRecordType<Tarquel_MetaDataRecord>());
    EXPECT_NE(std::strstr(other.errorText(), v.errorPart), nullptr) << other.errorText();
    Tarquel_MetaDataRecord untouched{};
    untouched.id = 77;
    EXPECT_FALSE(other.readRecord(0, untouched));
    EXPECT_FALSE(other.nextRecord(untouched));
    EXPECT_EQ(untouched.id, 77);
  }
}

// A struct laid out unlike the records of a variable-length file: members in
// another order, a text member shorter than its field, optional groups.
struct Reordered {
  uint64_t tail;
  int32_t id;
  char note[4];
  VariableFixedPointValue amount;
};
const UniversalMetaData_FieldDescription Reordered_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(tail, SMV_TYPE_UINT64, Reordered),
    DESCRIBE_FIELD_OF_CLASS(id, SMV_TYPE_INT32, Reordered),
    DESCRIBE_OPTIONAL_FIELD_OF_CLASS(2, note, SMV_TYPE_STRING, Reordered),
    DESCRIBE_OPTIONAL_FIELD_OF_CLASS(3, amount, SMV_TYPE_FIXED, Reordered),
    {0, 0, 0, 0, {}, {}}};
template <> inline const UniversalMetaData_FieldDescription
    *MetaDataForFeed<Reordered>::fieldDescriptionTable = Reordered_fields;
template <> inline const uint32_t MetaDataForFeed<Reordered>::totalFields = 4;
template <> inline const char MetaDataForFeed<Reordered>::magicNumber[9] = {"VARLEN"};

// Two members that carry the same field name, as a generated header writes
// them for two columns whose names are equal after the cut to 15 characters.
struct Twice {
  uint32_t first;
  uint32_t second;
};
const UniversalMetaData_FieldDescription Twice_fields[] = {
    DESCRIBE_NAMED_FIELD_OF_CLASS("dup", first, SMV_TYPE_UINT32, Twice),
    DESCRIBE_NAMED_FIELD_OF_CLASS("dup", second, SMV_TYPE_UINT32, Twice),
    {0, 0, 0, 0, {}, {}}};
template <> inline const UniversalMetaData_FieldDescription
    *MetaDataForFeed<Twice>::fieldDescriptionTable = Twice_fields;
template <> inline const uint32_t MetaDataForFeed<Twice>::totalFields = 2;
template <> inline const char MetaDataForFeed<Twice>::magicNumber[9] = {"METADATA"};

TEST(MetaDataReader, GeneratedStructReadsOtherLayoutsByName) {
  // Variable-length: offsets change per record, absent groups read as zeros.
  const FileBuilder varFile = sampleVariableFile();
  MetaDataReader r;
  ASSERT_EQ(r.openMemory(varFile.bytes.data(), varFile.bytes.size(), "var"), 0);
  ASSERT_TRUE(r.matchesRecordType<Reordered>()) << r.errorText();
  // tail, id, the note member's 4 bytes, amount; absent groups read as zeros.
  const char *want[] = {"10 1 line 31415e-4", "20 2  0e-0", "30 3  -120e-1", "40 4 x 0e-0"};
  auto check = [](const Reordered &rec, const char *w) {
    EXPECT_EQ(std::to_string(rec.tail) + " " + std::to_string(rec.id) + " " +
                  std::string(rec.note, strnlen(rec.note, sizeof rec.note)) + " " + std::to_string(rec.amount.value) +
                  "e-" + std::to_string(rec.amount.precision),
              w);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&rec);
    EXPECT_EQ(std::count(bytes + offsetof(Reordered, amount) + 9, bytes + sizeof rec, 0xA5), 0)
        << "bytes the file does not fill are zero";
  };
  Reordered rec;
  for (uint32_t k = 4; k-- > 0;) {  // backwards: every seek starts over
    SCOPED_TRACE(k);
    std::memset(&rec, 0xA5, sizeof rec);
    ASSERT_TRUE(r.readRecord(k, rec)) << r.errorText();
    check(rec, want[k]);
  }
  // Forwards; the getters refuse the absent fields.
  r.rewind();
  uint32_t seen = 0;
  std::memset(&rec, 0xA5, sizeof rec);
  while (r.nextRecord(rec)) {
    check(rec, want[seen]);
    std::string_view note;
    VariableFixedPointValue amount{};
    EXPECT_EQ(r.getFixedPoint("amount", amount), seen % 2 == 0) << seen;
    EXPECT_EQ(r.getText("note", note), seen == 0 || seen == 3) << seen;
    if (seen == 1) {
      EXPECT_EQ(std::string(r.errorText()), "var: record 1: field 'note' is absent");
    }
    ++seen;
  }
  EXPECT_EQ(seen, 4u);
  EXPECT_STREQ(r.errorText(), "");

  // A name the struct carries twice takes the file's fields of that name in order.
  FileBuilder two("METADATA", 8, 1);
  two.addField({"dup", 1, T_UINT32, 4, 4});
  two.addField({"dup", 1, T_UINT32, 0, 4});
  const std::size_t at2 = two.beginFixedRecord(8);
  two.put32(at2, 20);
  two.put32(at2 + 4, 10);
  MetaDataReader twice;
  ASSERT_EQ(twice.openMemory(two.bytes.data(), two.bytes.size(), "two"), 0);
  Twice t{};
  ASSERT_TRUE(twice.readRecord(0, t)) << twice.errorText();
  EXPECT_EQ(t.first, 10u);
  EXPECT_EQ(t.second, 20u);
  FileBuilder one("METADATA", 8, 0);
  one.addField({"dup", 1, T_UINT32, 0, 4});
  MetaDataReader once;
  ASSERT_EQ(once.openMemory(one.bytes.data(), one.bytes.size(), "one"), 0);
  EXPECT_FALSE(once.matchesRecordType<Twice>());
  EXPECT_NE(std::strstr(once.errorText(), "the record type has 2 fields named 'dup', the file 1"),
            nullptr)
      << once.errorText();
}

// Each damaged file: how it is made from a valid one, and what the error says.
struct Damage {
  const char *name;
  bool variable;  // start from the variable-length sample
  std::function<void(std::vector<uint8_t> &)> apply;
  const char *errorPart;
};

const Damage DAMAGES[] = {
    {"empty", false, [](std::vector<uint8_t> &f) { f.clear(); }, "truncated header: file has 0 bytes"},
    {"short_header", false, [](std::vector<uint8_t> &f) { f.resize(23); }, "truncated header: file has 23 bytes"},
    {"short_descriptions", false, [](std::vector<uint8_t> &f) { f.resize(24 + 24 * 3 + 5); },
     "truncated field descriptions: 6 fields need 168 bytes, file has 101"},
    {"header_length", false, [](std::vector<uint8_t> &f) { f[8] = 32; }, "header length is 32, expected 24"},
    {"description_length", false, [](std::vector<uint8_t> &f) { f[9] = 16; },
     "field description length is 16, expected 24"},
    {"offset_out_of_record", false, [](std::vector<uint8_t> &f) { f[24 + 5 * 24 + 2] = 48; },
     "field 5 'name': offset 48 + length 16 runs past the record length 56"},
    {"unknown_type", false, [](std::vector<uint8_t> &f) { f[24 + 1] = 8; }, "field 0 'id': unsupported type code 8"},
    {"type_length", false, [](std::vector<uint8_t> &f) { f[24 + 24 * 2 + 4] = 4; },
     "field 2 'big': length 4 does not suit type SMV_TYPE_INT64"},
    {"records_short", false, [](std::vector<uint8_t> &f) { f.pop_back(); },
     "record data is 167 bytes, but 3 records of 56 bytes need 168"},
    {"record_count", false, [](std::vector<uint8_t> &f) { f[16] = 4; },
     "record data is 168 bytes, but 4 records of 56 bytes need 224"},
    {"var_past_end", true, [](std::vector<uint8_t> &f) { f[256] = 48; },
     "record 3 at offset 256: length 48 runs past the end of the file (296 bytes)"},
    {"var_not_multiple_of_8", true, [](std::vector<uint8_t> &f) { f[24 + 4 * 24] = 52; },
     "record 0 at offset 120: length 52 is not a multiple of 8"},
    {"var_shorter_than_header", true, [](std::vector<uint8_t> &f) { f[24 + 4 * 24] = 8; },
     "record 0 at offset 120: length 8 is shorter than its 16-byte header"},
    {"var_truncated_record", true, [](std::vector<uint8_t> &f) { f.resize(280); },
     "record 3 at offset 256: length 40 runs past the end of the file (280 bytes)"},
    {"var_truncated_header", true, [](std::vector<uint8_t> &f) { f.resize(264); },
     "record 3: record header at offset 256 runs past the end of the file (264 bytes)"},
    {"var_missing_record", true, [](std::vector<uint8_t> &f) { f[16] = 5; },
     "record 4: record header at offset 296 runs past the end of the file (296 bytes)"},
    {"var_mask_needs_more", true, [](std::vector<uint8_t> &f) { f[24 + 4 * 24 + 56 + 8] = 0x7; },
     "record 1 at offset 176: its present fields need 36 bytes, the record holds 16"},
    {"var_trailing_bytes", true, [](std::vector<uint8_t> &f) { f.resize(f.size() + 8); },
     "8 bytes follow the last of 4 records"},
    {"var_version", true, [](std::vector<uint8_t> &f) { f[24 + 4 * 24 + 2] = 2; },
     "record format version 2, expected 1"},
    {"var_offset_before_header", true, [](std::vector<uint8_t> &f) { f[24 + 2] = 8; },
     "field 0 'id': offset 8 + length 4 lies outside a record of 52 bytes"},
};

std::vector<uint8_t> damagedFile(const Damage &d) {
  std::vector<uint8_t> bytes = d.variable ? sampleVariableFile().bytes : sampleFixedFile().bytes;
  d.apply(bytes);
  return bytes;
}

TEST(MetaDataReader, DamagedFilesGiveClearErrors) {
  for (const Damage &d : DAMAGES) {
    SCOPED_TRACE(d.name);
    const std::string path = writeTestFile(std::string("damaged_") + d.name + ".metadata", damagedFile(d));
    MetaDataReader r;
    EXPECT_EQ(r.open(path.c_str()), MetaDataReader::METADATA_BAD_FORMAT);
    EXPECT_FALSE(r.isOpen());
    EXPECT_FALSE(r.nextRecord());
    EXPECT_NE(std::strstr(r.errorText(), d.errorPart), nullptr) << r.errorText();
    EXPECT_EQ(std::string(r.errorText()).rfind(path + ": ", 0), 0u) << r.errorText();
    EXPECT_EQ(std::strchr(r.errorText(), '\n'), nullptr);
  }
}

TEST(MetaDataReader, MissingFileAndDirectoryFailToOpen) {
  MetaDataReader r;
  EXPECT_EQ(r.open("/nonexistent/x.metadata"), MetaDataReader::METADATA_OPEN_FAILED);
  EXPECT_NE(std::strstr(r.errorText(), "cannot open: No such file"), nullptr) << r.errorText();
  EXPECT_EQ(r.open(NARVELIX_BINARY_DIR), MetaDataReader::METADATA_OPEN_FAILED);
  EXPECT_NE(std::strstr(r.errorText(), "is a directory"), nullptr) << r.errorText();
}

// A 3 GiB file (sparse: no disk space taken) is examined with 64-bit offsets
// everywhere: where half the address space cannot hold it (32-bit targets) it
// is refused with its true size; elsewhere it is mapped and its content judged.
TEST(MetaDataReader, FileOfThreeGiBKeepsItsTrueSize) {
  const std::string path = std::string(NARVELIX_BINARY_DIR) + "/sparse_3g.metadata";
  std::remove(path.c_str());
  ASSERT_EQ(std::system(("truncate -s 3G '" + path + "'").c_str()), 0);
  MetaDataReader r;
  EXPECT_NE(r.open(path.c_str()), MetaDataReader::METADATA_OK);
  if (sizeof(void *) == 4) {
    EXPECT_EQ(std::string(r.errorText()), path + ": file of 3221225472 bytes is too large to map");
  } else {
    EXPECT_EQ(std::strstr(r.errorText(), "cannot"), nullptr) << r.errorText();
    EXPECT_EQ(std::strstr(r.errorText(), "too large"), nullptr) << r.errorText();
  }
  std::remove(path.c_str());
}
