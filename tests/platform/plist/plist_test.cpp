#include "platform/plist/plist.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/support.h"

using namespace plist;
using testsupport::TempDir;

namespace {
Value sample() {
  Dictionary entry{{"wcID", Value("ABC")}, {"bookmark", Value(Data{0, 1, 2, 255})}};
  return Value(Dictionary{
      {"generation", Value(7)},
      {"entries", Value(Array{Value(entry)})},
      {"ratio", Value(0.5)},
      {"flag", Value(true)},
      {"date", Value(Date(std::chrono::seconds(1700000000)))},
  });
}
}  // namespace

// XML dates carry whole seconds, so the sample uses a whole second.
TEST(Plist, WritesXMLAndReadsItBackWhole) {
  TempDir dir;
  std::string path = dir / "a.plist";
  ASSERT_TRUE(writeFileAtomically(path, sample(), 0600));
  std::string text = testsupport::readFile(path);
  EXPECT_NE(text.find("<?xml"), std::string::npos);
  EXPECT_NE(text.find("<key>generation</key>"), std::string::npos);
  auto back = readFile(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, sample());
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Plist, ReadsBinaryPropertyListsMadeByAnotherTool) {
  TempDir dir;
  std::string xml = dir / "x.plist", bin = dir / "b.plist";
  ASSERT_TRUE(writeFileAtomically(xml, sample()));
  testsupport::runOK({"plistutil", "-i", xml, "-o", bin, "-f", "bin"});
  ASSERT_EQ(testsupport::readFile(bin).substr(0, 6), "bplist");
  auto back = readFile(bin);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, sample());
}

TEST(Plist, RefusesWhatIsNotAPropertyList) {
  std::string error;
  EXPECT_FALSE(parse(Data{'h', 'e', 'l', 'l', 'o'}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(parse(Data{}, &error));
  EXPECT_FALSE(parse(Data{'<', 'a', 0, '>'}, &error));
  std::string truncated = "bplist00\xd1\x01\x02";
  EXPECT_FALSE(parse(Data(truncated.begin(), truncated.end()), &error));
  EXPECT_FALSE(readFile("/nonexistent/x.plist", &error));
  EXPECT_NE(error.find("/nonexistent/x.plist"), std::string::npos);
}

TEST(Plist, LookupToleratesMissingDictionaries) {
  Value v = sample();
  EXPECT_EQ(*lookup(v.asDictionary(), "generation")->asInteger(), 7);
  EXPECT_EQ(lookup(v.asDictionary(), "nope"), nullptr);
  EXPECT_EQ(lookup(nullptr, "generation"), nullptr);
  EXPECT_EQ(lookup(v.asDictionary(), "generation")->asString(), nullptr);
}

TEST(Plist, AFailedWriteLeavesTheOldFile) {
  TempDir dir;
  EXPECT_FALSE(writeFileAtomically(dir / "missing/x.plist", sample()));
  std::string error;
  EXPECT_FALSE(writeFileAtomically(dir / "missing/x.plist", sample(), 0644, &error));
  EXPECT_NE(error.find("missing/x.plist"), std::string::npos);
}

namespace {
// A binary property list of the given objects (each a marker byte and its
// content, references four bytes wide); the first object is the root.
Data binary(const std::vector<std::string>& objects) {
  std::string out = "bplist00";
  std::vector<std::uint32_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    out += object;
  }
  auto be = [&](std::uint64_t v, int size) {
    for (int i = size - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  const std::size_t table = out.size();
  for (auto offset : offsets) be(offset, 4);
  out += std::string(6, '\0');
  out += '\x04';
  out += '\x04';
  be(objects.size(), 8);
  be(0, 8);
  be(table, 8);
  return Data(out.begin(), out.end());
}
std::string ref(std::uint32_t r) { return {char(r >> 24), char(r >> 16), char(r >> 8), char(r)}; }
std::string array(std::initializer_list<std::uint32_t> refs) {
  std::string s(1, static_cast<char>(0xA0 | refs.size()));
  for (auto r : refs) s += ref(r);
  return s;
}
}  // namespace

// Each of these once aborted, hung or ran out of memory inside libplist.
TEST(Plist, HostileBinaryDocumentsGiveNothingOrTheDocument) {
  std::string error;
  // U+0000 inside an ASCII and a UTF-16 string.
  auto nul = parse(binary({array({1, 2}), std::string("\x53" "a\0b", 4), std::string("\x62\0x\0\0", 5)}), &error);
  ASSERT_TRUE(nul) << error;
  EXPECT_EQ(*nul, Value(Array{std::string("a\0b", 3), std::string("x\0", 2)}));

  // Thirty levels, each referring to the next array twice: 2^30 values.
  std::vector<std::string> bomb;
  for (std::uint32_t i = 0; i < 30; ++i) bomb.push_back(array({i + 1, i + 1}));
  bomb.push_back("\x10\x07");
  EXPECT_FALSE(parse(binary(bomb), &error));
  EXPECT_NE(error.find("expands"), std::string::npos) << error;

  std::vector<std::string> deep;
  for (std::uint32_t i = 0; i < 150000; ++i) deep.push_back(array({i + 1}));
  deep.push_back("\x09");
  EXPECT_FALSE(parse(binary(deep), &error));
  EXPECT_NE(error.find("nested too deeply"), std::string::npos) << error;

  EXPECT_FALSE(parse(binary({array({0})}), &error));  // an array holding itself

  // A UID under an ignored key, and in an array, leaves the rest readable.
  std::string dict = "\xD2";
  for (std::uint32_t object = 1; object <= 4; ++object) dict += ref(object);
  auto uid = parse(binary({dict, "\x55" "$uids", "\x54" "wcID", array({5, 6}), "\x51" "A", "\x80\x05", "\x10\x02"}), &error);
  ASSERT_TRUE(uid) << error;
  EXPECT_EQ(*uid, Value(Dictionary{{"$uids", Array{2}}, {"wcID", "A"}}));
  EXPECT_FALSE(parse(binary({"\x80\x05"}), &error));
}

// Strings count at their size in UTF-8: a one-byte string of accented
// letters doubles, UTF-16 in U+0800..U+FFFF grows by half. Shared
// references repeat one 1 MB string until the expansion passes 64 MB only
// when counted in UTF-8.
TEST(Plist, TheByteBudgetCountsStringsInUTF8) {
  auto repeated = [](const std::string& string, int times) {
    std::string refs = "\xAF\x10" + std::string(1, char(times));
    for (int i = 0; i < times; ++i) refs += ref(1);
    return binary({refs, string});
  };
  auto sized = [](char marker, std::size_t count) {
    return std::string(1, marker) + "\x12" + ref(static_cast<std::uint32_t>(count));
  };
  std::string latin1 = sized('\x5F', 1 << 20) + std::string(1 << 20, '\xE9');  // 2 MB in UTF-8
  std::string utf16 = sized('\x6F', 1 << 19);                                   // 1.5 MB in UTF-8
  for (int i = 0; i < (1 << 19); ++i) utf16 += std::string("\x08\0", 2);
  std::string error;
  for (const auto& bytes : {repeated(latin1, 40), repeated(utf16, 50)}) {
    EXPECT_FALSE(parse(bytes, &error));
    EXPECT_NE(error.find("expands"), std::string::npos) << error;
  }
  auto fits = parse(repeated(latin1, 30), &error);  // 60 MB
  ASSERT_TRUE(fits) << error;
  EXPECT_EQ(fits->asArray()->at(29).asString()->size(), 2u << 20);
}

// The trailer may claim tens of millions of objects while one is reached:
// the reader's memory follows what it reaches, not the claim. (Peak memory
// before the fix: about 2 GB for this document.)
TEST(Plist, BinaryBookkeepingFollowsWhatIsReached) {
  constexpr std::size_t kObjects = 60'000'000;
  Data bytes = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0x08};  // one false, at offset 8
  bytes.resize(bytes.size() + kObjects, 8);                        // every 1-byte offset points at it
  const std::uint8_t trailer[32] = {0, 0, 0, 0, 0, 0, 1, 1,  // offset and reference sizes
                                    0, 0, 0, 0, std::uint8_t(kObjects >> 24), std::uint8_t(kObjects >> 16),
                                    std::uint8_t(kObjects >> 8), std::uint8_t(kObjects),
                                    0, 0, 0, 0, 0, 0, 0, 0,  // the top object
                                    0, 0, 0, 0, 0, 0, 0, 9};  // the offset table
  bytes.insert(bytes.end(), trailer, trailer + 32);
  struct rusage before {};
  getrusage(RUSAGE_SELF, &before);
  std::string error;
  auto value = parse(bytes, &error);
  struct rusage after {};
  getrusage(RUSAGE_SELF, &after);
  ASSERT_TRUE(value) << error;
  EXPECT_EQ(*value, Value(false));
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024) << "kB more at the peak";
}

TEST(Plist, DeepXMLIsRefusedBeforeLibplistRecurses) {
  std::string open, close;
  for (int i = 0; i < 150000; ++i) open += "<array>", close += "</array>";
  std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">" + open + close + "</plist>";
  std::string error;
  EXPECT_FALSE(parse(Data(xml.begin(), xml.end()), &error));
  EXPECT_NE(error.find("nested too deeply"), std::string::npos) << error;
  // Nesting within the bound, with comments and a doctype around it, reads.
  std::string fine = "<?xml version=\"1.0\"?><!DOCTYPE plist [<!-- <array> -->]><plist><array><array><string>"
                     "<![CDATA[<array>]]></string></array></array></plist>";
  auto value = parse(Data(fine.begin(), fine.end()), &error);
  ASSERT_TRUE(value) << error;
  EXPECT_EQ(*value, Value(Array{Array{"<array>"}}));
}

// Where a tag ends is decided as libplist decides it: only '"' quotes, in
// start and end tags alike. Either document once built 300,000 levels, and
// freeing them overflowed the stack.
TEST(Plist, XMLNestingIsMeasuredWhereLibplistEndsItsTags) {
  std::string opens;
  for (int i = 0; i < 300000; ++i) opens += "<array>";
  std::string closes;
  for (int i = 0; i < 300000; ++i) closes += "</array>";
  std::string error;
  for (const std::string& xml : {"<plist version=\"1.0\"><array q='>" + opens,
                                 "<plist><array><array></array q=\"" + closes + "\">" + opens}) {
    EXPECT_FALSE(parse(Data(xml.begin(), xml.end()), &error));
    EXPECT_NE(error.find("nested too deeply"), std::string::npos) << error;
  }
  // The bound is exact: 256 levels below the root read, 257 do not.
  auto nested = [](int levels) {
    std::string open, close;
    for (int i = 0; i <= levels; ++i) open += "<array q=\">\">", close += "</array x=\">\">";
    std::string xml = "<plist>" + open + close + "</plist>";
    return parse(Data(xml.begin(), xml.end()));
  };
  EXPECT_TRUE(nested(256));
  EXPECT_FALSE(nested(257));
}

// XML spends the same budget of values as binary: 200,000, the root and
// dictionary keys included.
TEST(Plist, XMLIsRefusedPastTheValueBudget) {
  auto document = [](int trues, const std::string& entry) {
    std::string xml = "<plist><dict>";
    for (int i = 0; i < trues; ++i) xml += entry;
    xml += "</dict></plist>";
    return Data(xml.begin(), xml.end());
  };
  std::string error;
  // 1 + 2 × 99,999 values read, though the repeated key leaves one entry.
  auto full = parse(document(99999, "<key>k</key><true/>"), &error);
  ASSERT_TRUE(full) << error;
  EXPECT_EQ(*full, Value(Dictionary{{"k", true}}));
  EXPECT_FALSE(parse(document(100000, "<key>k</key><true/>"), &error));
  EXPECT_NE(error.find("expands"), std::string::npos) << error;
}

TEST(Plist, ReadsOnlyRegularFilesAndNeverThrowsOrBlocks) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(readFile(dir.path(), &error));  // a folder
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  std::string fifo = dir / "fifo.plist";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(readFile(fifo, &error));  // no writer: a blocking open would wait forever
  EXPECT_FALSE(readFile("/proc/self/mem", &error));  // a regular file whose read fails (EIO)
  EXPECT_NE(error.find("/proc/self/mem"), std::string::npos);
}

// A file we write is one that Python's plistlib reads back equal, or none.
TEST(Plist, WritesOnlyWhatXMLReadersReadBackEqual) {
  TempDir dir;
  std::string path = dir / "w.plist", error;
  Value odd(Dictionary{{"name", "tab\there\r\nline\rend <&>"}, {"k\xC3\xA9y", "\xE2\x80\xA6"}});
  ASSERT_TRUE(writeFileAtomically(path, odd, 0600, &error)) << error;
  EXPECT_EQ(readFile(path), odd);
  std::string py = testsupport::runOK(
      {"/usr/bin/python3", "-c", "import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
                        "print(d['name']==\"tab\\there\\r\\nline\\rend <&>\" and d['k\\u00e9y']=='\\u2026')",
       path});
  EXPECT_EQ(py, "True\n");
  for (const std::string& bad : {std::string("a\x01"), std::string("nul\0", 4), std::string("\xFF\xFE")}) {
    EXPECT_FALSE(writeFileAtomically(path, Value(Dictionary{{"wcID", bad}}), 0600, &error));
    EXPECT_NE(error.find("cannot carry"), std::string::npos) << error;
    EXPECT_FALSE(writeFileAtomically(path, Value(Dictionary{{bad, 1}}), 0600, &error));
  }
  EXPECT_EQ(readFile(path), odd);  // the refused writes left the file alone
}
