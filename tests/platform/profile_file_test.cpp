#include "platform/profile_file.h"

#include <gtest/gtest.h>

#include "platform/data_root.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

TEST(ProfileFile, LookupIgnoresCaseAndBlanks) {
  ProfileFile p;
  p.Parse("[Defaults]\r\nInboundGatewayType =1\r\n  smtpinport = 2525\r\nName=first\r\n"
          "name=second\r\n[rule0]\nEnabled=1\n");
  EXPECT_EQ(p.GetInt("defaults", "InboundGatewayType", 9), 1);
  EXPECT_EQ(p.GetInt("DEFAULTS", "SMTPInPort", 25), 2525);
  EXPECT_EQ(p.GetString("Defaults", "Name"), "first");
  EXPECT_EQ(p.GetInt("Rule0", "Enabled", -1), 1);
  EXPECT_EQ(p.GetInt("Rule1", "Enabled", -1), -1);
  EXPECT_TRUE(p.HasSection("RULE0"));
  EXPECT_FALSE(p.HasSection("Rule1"));
}

TEST(ProfileFile, IntegerReads) {
  struct Case {
    const char* value;
    int want;
  } cases[] = {{"12", 12}, {" 7 ", 7}, {"-1", -1}, {"abc", 0}, {"", 0}, {"3x", 3},
               {"99999999999999", 2147483647}, {"-99999999999999", -2147483647 - 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ProfileFile p;
    p.Parse(std::string("[S]\nK=") + c.value + "\n");
    EXPECT_EQ(p.GetInt("S", "K", 55), c.want);
  }
}

TEST(ProfileFile, StringsAreCutToTheBuffer) {
  ProfileFile p;
  p.Parse("[S]\nK=" + std::string(400, 'a') + "\nQ=\"quoted\"\n");
  EXPECT_EQ(p.GetString("S", "K").size(), 255u);
  EXPECT_EQ(p.GetString("S", "K", "", 10), "aaaaaaaaa");
  EXPECT_EQ(p.GetString("S", "Q"), "quoted");
  EXPECT_EQ(p.GetString("S", "Missing", "dflt"), "dflt");
}

TEST(ProfileFile, GarbageLoadsWithoutHarm) {
  ProfileFile p;
  using namespace std::string_literals;
  std::string junk = "no equals here\n[unterminated\n=novalue\n\0\xff\xfe=\x01\n[S]\nK=v\n\0"s;
  p.Parse(junk);
  EXPECT_EQ(p.GetString("S", "K"), "v");
  EXPECT_EQ(p.GetInt("unterminated", "x", 4), 4);
}

TEST(ProfileFile, SaveAndLoadRoundTrip) {
  TempRoot root;
  ProfileFile p;
  p.Set("Defaults", "A", "1");
  p.Set("Defaults", "EnableClustering ", "0");
  p.AddBlankLines(3);
  p.Set("Rule0", "Name", "x y");
  p.Set("Defaults", "B", "two");  // lands in its section, not at the end
  ASSERT_TRUE(p.Save(root / "t.dat"));
  EXPECT_EQ(TempRoot::Read(root / "t.dat"),
            "[Defaults]\nA=1\nEnableClustering =0\nB=two\n\n\n\n[Rule0]\nName=x y\n");
  ProfileFile q;
  ASSERT_TRUE(q.Load(root / "t.dat"));
  EXPECT_EQ(q.GetInt("Defaults", "EnableClustering", 5), 0);
  EXPECT_EQ(q.GetString("Rule0", "Name"), "x y");
  EXPECT_FALSE(q.Load(root / "missing.dat"));
}

TEST(ProfileFile, EveryValueReadsBackAsSet) {
  const char* values[] = {
      "plain", " leading", "trailing ",   "\"quoted\"", "'single'",     "\"", "a=b",
      "",      "  ",       "line\nbreak", "cr\rinside", "ends in cr\r", "\r", "; not a comment",
      "[x]"};
  for (const char* v : values) {
    SCOPED_TRACE(v);
    std::string want = v;
    for (char& c : want) {
      if (c == '\n') c = ' ';
    }
    ProfileFile set;
    set.Set("S", "K", v);
    ProfileFile appended;
    appended.AppendSection("S");
    appended.AppendEntry("K", v);
    for (const ProfileFile* p : {&set, &appended}) {
      ProfileFile back;
      back.Parse(p->Text());
      EXPECT_EQ(back.GetString("S", "K", "missing"), want);
      EXPECT_EQ(back.Text(), p->Text());
    }
  }
}

TEST(ProfileFile, AppendLaysOutLineByLine) {
  ProfileFile p;
  p.AppendSection("Defaults");
  p.AppendInt("InboundGatewayType ", 1);
  p.AppendEntry("Name", "first");
  p.AppendEntry("name", "second");
  p.AddBlankLines(2);
  p.AppendSection("Rule0");
  p.AppendInt("Enabled", 0);
  EXPECT_EQ(p.Text(),
            "[Defaults]\nInboundGatewayType =1\nName=first\nname=second\n\n\n[Rule0]\nEnabled=0\n");
  EXPECT_EQ(p.GetInt("defaults", "inboundgatewaytype", 9), 1);
  EXPECT_EQ(p.GetString("Defaults", "NAME"), "first");
  EXPECT_EQ(p.GetInt("RULE0", "Enabled", -1), 0);
  p.Set("Defaults", "Name", "changed");
  p.Set("Rule0", "Comment", "new");
  EXPECT_EQ(p.GetString("Defaults", "Name"), "changed");
  EXPECT_EQ(p.GetString("Rule0", "Comment"), "new");
  EXPECT_EQ(p.GetInt("Rule0", "Enabled", -1), 0);
}

TEST(DataRoot, MapsOriginalPaths) {
  struct Case {
    const char* value;
    const char* want;
  } cases[] = {{"c:\\tarnhold\\lists\\dns.txt", "/r/lists/dns.txt"},
               {"C:/Tarnhold/lists/a.lst", "/r/lists/a.lst"},
               {"/etc/routes", "/etc/routes"},
               {"relative.txt", "relative.txt"},
               {"", ""},
               {"c:\\other\\x", "c:\\other\\x"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(MapConfigPath("/r", c.value).string(), c.want);
  }
}

TEST(DataRoot, ResolveOrderAndLastElement) {
  ::setenv(kDataRootVariable, "/from/env", 1);
  EXPECT_EQ(ResolveDataRoot("/cmd/line").string(), "/cmd/line");
  EXPECT_EQ(ResolveDataRoot("").string(), "/from/env");
  ::unsetenv(kDataRootVariable);
  EXPECT_EQ(ResolveDataRoot("").string(), kDefaultDataRoot);
  EXPECT_EQ(LastPathElement("..\\..\\evil.exe"), "evil.exe");
  EXPECT_EQ(LastPathElement("a/b\\c"), "c");
  EXPECT_EQ(LastPathElement("plain"), "plain");
}

}  // namespace
}  // namespace tarnhold
