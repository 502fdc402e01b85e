#include "platform/plist/plist.h"

#include <gtest/gtest.h>
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
