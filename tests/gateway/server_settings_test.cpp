#include "gateway/server_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;
namespace fs = std::filesystem;

TEST(LoadRegistry, MissingFileOrSectionKeepsDefaults) {
  for (const char* content : {static_cast<const char*>(nullptr), "[Other]\nMaxOut=3\n"}) {
    TempRoot root;
    if (content) root.Write("registry.dat", content);
    CServerSettings s(root.Path());
    EXPECT_EQ(s.LoadRegistry(CServerSettings::RegistryFile(root.Path())), kRegistryKeyMissing);
    EXPECT_EQ(s.MaxOut(), 10);
    EXPECT_EQ(s.MaxIn(), 10);
    EXPECT_EQ(s.MaxRetries(), 10);
    EXPECT_EQ(s.RetryInterval(), 15);
    EXPECT_EQ(s.RootPath(), root.Path());
  }
}

TEST(LoadRegistry, FailureBits) {
  struct Case {
    const char* name;
    std::string text;
    int want;
  };
  const Case cases[] = {
      {"all present",
       "[Tarnhold]\nRootPath=c:\\tarnhold\\\nNumberDomainNames=2\nDomainName0=a\nDomainName1=b\n"
       "NumberDNSNames=1\nDNSName0=ns\n",
       0},
      {"empty section", "[Tarnhold]\n", 2 | 4 | 16},
      {"a domain name missing",
       "[tarnhold]\nrootpath=\nNumberDomainNames=3\nDomainName0=a\nDomainName2=c\nNumberDNSNames=0\n",
       8},
      {"a DNS name missing", "[Tarnhold]\nRootPath=x\nNumberDomainNames=0\nNumberDNSNames=2\nDNSName1=n\n",
       32},
      {"garbage and binary", std::string("[Tarnhold]\n\x01\x02garbage\nno equals\r\nMaxOut=zz\r\n") +
                                 std::string("NumberDomainNames=-5\0\xff", 23) + "\n",
       2 | 16},
      {"huge count is bounded", "[Tarnhold]\nRootPath=\nNumberDomainNames=2000000000\nNumberDNSNames=0\n",
       8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot root;
    root.Write("registry.dat", c.text);
    CServerSettings s(root.Path());
    EXPECT_EQ(s.LoadRegistry(root / "registry.dat"), c.want);
  }
}

TEST(LoadRegistry, ValuesAndRootPath) {
  TempRoot root;
  root.Write("registry.dat",
             "[Tarnhold]\r\nMaxOut=3\r\nMaxIn=4\r\nMaxRetries=5\r\nRetryInterval=60\r\n"
             "RootPath=C:/TARNHOLD\r\nNumberDomainNames=1\r\nDomainName0=example.org\r\n"
             "NumberDNSNames=2\r\nDNSName0=ns1\r\nDNSName1=ns2\r\n");
  CServerSettings s(root.Path());
  ASSERT_EQ(s.LoadRegistry(root / "registry.dat"), 0);
  EXPECT_EQ(s.MaxOut(), 3);
  EXPECT_EQ(s.MaxIn(), 4);
  EXPECT_EQ(s.MaxRetries(), 5);
  EXPECT_EQ(s.RetryInterval(), 60);
  EXPECT_EQ(s.RootPath().lexically_normal(), (root.Path() / "").lexically_normal());
  EXPECT_EQ(s.DomainNames(), std::vector<std::string>{"example.org"});
  EXPECT_EQ(s.DnsNames(), (std::vector<std::string>{"ns1", "ns2"}));
  s.SetLimits(250, 25, 5, 300);
  EXPECT_EQ(s.MaxIn(), 250);
  EXPECT_EQ(s.RetryInterval(), 300);
}

// The spool has one root: RootPath may name the data root (in any spelling) or be empty;
// anything else is refused at start, and no component ever uses it.
TEST(RootPath, OnlyTheDataRootIsAccepted) {
  TempRoot root, other;
  const fs::path name = root.Path().filename();
  fs::create_symlink(root.Path(), other / "link");
  struct Case {
    const char* name;
    std::string value;
    RootPathCheck want;
  };
  const Case cases[] = {
      {"empty", "", RootPathCheck::OnDataRoot},
      {"the data root", root.Path().string(), RootPathCheck::OnDataRoot},
      {"with a trailing slash", root.Path().string() + "/", RootPathCheck::OnDataRoot},
      {"through ..", (root.Path() / ".." / name).string(), RootPathCheck::OnDataRoot},
      {"through a link", (other / "link").string(), RootPathCheck::OnDataRoot},
      {"the original form", "c:\\tarnhold\\", RootPathCheck::OnDataRoot},
      {"the original form, mixed case and slashes", "C:/TARNHOLD", RootPathCheck::OnDataRoot},
      {"another folder", other.Path().string(), RootPathCheck::OtherFolder},
      {"a folder that does not exist", (other / "missing").string(), RootPathCheck::OtherFolder},
      {"below the data root", (root / "queproc").string(), RootPathCheck::OtherFolder},
      {"below the original form", "c:\\tarnhold\\sub", RootPathCheck::OtherFolder},
      {"relative", "x", RootPathCheck::OtherFolder},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckRootPath(root.Path(), c.value), c.want);
    root.Write("registry.dat", "[Tarnhold]\nRootPath=" + c.value + "\n");
    CServerSettings s(root.Path());
    (void)s.LoadRegistry(root / "registry.dat");
    EXPECT_EQ(s.CheckRootPath(), c.want);
    EXPECT_EQ(s.Layout().Root(), root.Path());  // the spool never moves
  }
}

TEST(SourceInfo, WriteThenRead) {
  TempRoot root;
  fs::create_directories(root / "stat");
  CServerSettings s(root.Path());
  std::string error, address;
  EXPECT_EQ(s.ReadSourceInfo(4, address), SourceInfo::Absent);
  root.Write("stat/4", "a much longer text that was there before");
  ASSERT_TRUE(s.WriteSourceInfo(4, "192.168.0.5", error)) << error;
  EXPECT_EQ(TempRoot::Read(root / "stat/4"), "192.168.0.5");  // no line end, truncated
  EXPECT_EQ(s.ReadSourceInfo(4, address), SourceInfo::Present);
  EXPECT_EQ(address, "192.168.0.5");
}

TEST(SourceInfo, HostileFilesAreBounded) {
  TempRoot root;
  CServerSettings s(root.Path());
  root.Write("stat/1", std::string(100000, '9'));
  fs::create_directories(root / "stat/2");
  std::string address, error;
  EXPECT_EQ(s.ReadSourceInfo(1, address), SourceInfo::Present);
  EXPECT_EQ(address.size(), kMaxSourceInfoBytes);
  EXPECT_EQ(s.ReadSourceInfo(2, address), SourceInfo::Unreadable);
  fs::remove_all(root / "stat");
  EXPECT_FALSE(s.WriteSourceInfo(3, "1.2.3.4", error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tarnhold
