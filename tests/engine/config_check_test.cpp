#include "engine/config_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gateway/gateway_config.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

// A clean configuration: a local domain for the POP3 server, a delivery gateway on another
// port, and one rule that quarantines mail with a keyword in its subject.
constexpr const char* kDefaults =
    "SMTPInPort=2525\nOutboundGatewayAddress=127.0.0.1\nOutboundPort=2526\n"
    "InboundGatewayAddress=127.0.0.1\nInboundPort=2526\nEnablePOP3Server=1\n"
    "LocalDomain0=demo.test\n";
constexpr const char* kRule =
    "[Rule0]\nEnabled=1\nAllIncoming=1\nAllOutgoing=1\nBlockKeywords=free\nScanSubject=1\n"
    "Action=1\nQuarantineArea=junk\n";

struct File {
  const char* name;
  const char* content;
};

struct Case {
  const char* what;
  std::string defaults;     // [Defaults] keys that replace those of kDefaults
  std::string rules;        // replaces kRule when not empty
  std::vector<File> files;  // written under the root
  std::vector<std::string> want;
};

std::vector<std::string> Lines(const TempRoot& root, unsigned pop3_port = 1110) {
  std::vector<std::string> lines;
  for (const ConfigProblem& p : CheckConfiguration(root.Path(), pop3_port))
    lines.push_back(ProblemLine(p));
  return lines;
}

// The data folders as the engine makes them, then the configuration under test.
void Prepare(const TempRoot& root, const Case& c) {
  CGatewayConfig folders(root.Path());
  (void)folders.Load();
  // The first of two equal keys counts: the case's values come before the clean ones.
  root.Write("tarnhold.dat",
             "[Defaults]\n" + c.defaults + kDefaults + "\n" + (c.rules.empty() ? kRule : c.rules));
  for (const File& f : c.files) root.Write(f.name, f.content);
}

TEST(ConfigCheck, CleanConfigurationHasNoProblem) {
  TempRoot root;
  Prepare(root, {});
  EXPECT_EQ(Lines(root), std::vector<std::string>{});
}

TEST(ConfigCheck, MissingFileIsOneProblem) {
  TempRoot root;
  const auto lines = Lines(root);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("tarnhold.dat: cannot read ")) << lines[0];
}

TEST(ConfigCheck, EachBrokenSettingGivesItsLine) {
  const std::string d = "tarnhold.dat [Defaults] ";
  const std::string r0 = "tarnhold.dat [Rule0] ";
  const std::string rule = "[Rule0]\nEnabled=1\nAllIncoming=1\nAllOutgoing=1\nAction=2\n";
  const Case cases[] = {
      {"relay guard off",
       "AllowRelay=1\n",
       "",
       {},
       {d + "AllowRelay=1: the relay guard is off: anyone may send mail through the gateway to "
            "anywhere"}},
      {"POP3 server without a local domain",
       "LocalDomain0=\n",
       "",
       {},
       {d + "EnablePOP3Server=1: no LocalDomain0: no mail is ever local to a mailbox"}},
      {"receiver on the POP3 port",
       "SMTPInPort=1110\n",
       "",
       {},
       {d + "SMTPInPort=1110: the POP3 server listens on the same port"}},
      {"delivery back into the receiver",
       "OutboundPort=2525\n",
       "",
       {},
       {d + "OutboundPort=2525: mail sent to 127.0.0.1 on this port comes back to the "
            "gateway's own receiver (SMTPInPort)"}},
      {"unreadable DNS list",
       "OutboundGatewayType=1\nDNSLookupFileName=c:\\tarnhold\\dns.lst\n",
       "",
       {},
       {d + "DNSLookupFileName=c:\\tarnhold\\dns.lst: the DNS server list cannot be read"}},
      {"empty cluster list",
       "EnableClustering=1\nClusterFileName=c:\\tarnhold\\hosts.lst\n",
       "",
       {{"hosts.lst", ""}},
       {d + "ClusterFileName=c:\\tarnhold\\hosts.lst: the cluster list is empty"}},
      {"routing line without a port",
       "SMTPRoutingFileName=c:\\tarnhold\\routes.txt\n",
       "",
       {{"routes.txt", "; comment\n*@a.test,mx.a.test,25\n*@b.test,mx.b.test\n"}},
       {d + "SMTPRoutingFileName=c:\\tarnhold\\routes.txt: line \"*@b.test,mx.b.test\" is not "
            "pattern,host,port ending in a line feed; no line after it is used"}},
      {"routing line without a line feed",
       "SMTPRoutingFileName=c:\\tarnhold\\routes.txt\n",
       "",
       {{"routes.txt", "*@a.test,mx.a.test,25"}},
       {d + "SMTPRoutingFileName=c:\\tarnhold\\routes.txt: line \"*@a.test,mx.a.test,25\" is "
            "not pattern,host,port ending in a line feed; no line after it is used"}},
      {"rule with no check",
       "",
       "[Rule0]\nEnabled=1\nAllIncoming=1\nAction=2\n",
       {},
       {r0 + "BlockEverything=0: no check is switched on: the rule never triggers"}},
      {"rule that selects nothing",
       "",
       "[Rule0]\nEnabled=1\nBlockEverything=1\nAction=2\n",
       {},
       {r0 + "AllIncoming=0: AllIncoming, AllOutgoing and AllFromTo are off: the rule selects "
             "no mail"}},
      {"keywords with every scan off",
       "",
       "[Rule0]\nEnabled=1\nAllIncoming=1\nBlockKeywords=free\nAction=2\n",
       {},
       {r0 + "ScanSubject=0: ScanSubject, ScanBody and ScanAttachments are off: the keyword "
             "checks never trigger"}},
      {"adult check without keywords",
       "",
       rule + "BlockAdult=1\nScanBody=1\n",
       {},
       {r0 + "BlockAdult=1: AdultKeywords is empty: the adult check never triggers"}},
      {"SPAM check without spamfree.dat",
       "",
       rule + "StopSPAM=1\n",
       {},
       {r0 + "StopSPAM=1: spamfree.dat is missing: every sender not named in To or Cc counts "
             "as SPAM"}},
      {"virus scan without a scanner",
       "",
       rule + "VirusScan=1\n",
       {},
       {r0 + "VirusScan=1: no [Scanner<n>] is enabled: nothing is scanned"}},
      {"missing allowed-IP list",
       "",
       rule + "BlockIPNotInList=1\nIPNotInList=c:\\tarnhold\\ok.lst\n",
       {},
       {r0 + "IPNotInList=c:\\tarnhold\\ok.lst: the list cannot be read; it matches nothing: every "
             "message "
             "triggers"}},
      {"empty lookup list",
       "",
       "[Rule0]\nEnabled=1\nAllFromTo=1\nFrom=c:\\tarnhold\\from.lst\nTo=c:\\tarnhold\\to."
       "lst\nBlockEverything=1\nAction=2\n",
       {{"from.lst", "*@x.test\n"}, {"to.lst", "; nobody\n"}},
       {r0 + "To=c:\\tarnhold\\to.lst: the list is empty: the from-to lookup never selects"}},
      {"reply text missing",
       "",
       rule + "BlockAllAttachments=1\nReplyOnAction=1\nReplyFile=no.txt\n",
       {},
       {}},  // the line names the real path: checked below
      {"rule after a catch-all",
       "",
       rule + "BlockEverything=1\n[Rule1]\nEnabled=1\nAllIncoming=1\nBlockEverything=1\n"
              "Action=2\n",
       {},
       {"tarnhold.dat [Rule1] Enabled=1: never reached: rule 0 takes every message"}},
      {"scanner program missing",
       "",
       std::string(kRule) + "[Scanner0]\nTitle=scan\nEnabled=1\nExePath=/nonexistent/scan\n",
       {},
       {"tarnhold.dat [Scanner0] ExePath=/nonexistent/scan: no such program: every scan fails "
        "and counts as a threat"}},
      {"registry root elsewhere",
       "",
       "",
       {{"registry.dat", "[Tarnhold]\nRootPath=/srv/other\n"}},
       {"registry.dat [Tarnhold] RootPath=/srv/other: names another folder than the data root; "
        "the gateway does not start"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempRoot root;
    Prepare(root, c);
    const auto lines = Lines(root);
    if (c.want.empty()) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0], r0 + "ReplyFile=no.txt: no readable file " +
                              (root.Path() / "text" / "no.txt").string());
    } else {
      EXPECT_EQ(lines, c.want);
    }
  }
}

TEST(ConfigCheck, QuarantineAreaIsReportedNotMade) {
  TempRoot root;
  Prepare(root, {"",
                 "",
                 "[Rule0]\nEnabled=1\nAllIncoming=1\nBlockEverything=1\nAction=1\n"
                 "QuarantineArea=held\n",
                 {},
                 {}});
  std::filesystem::remove(root / "quaran/held");
  const auto lines = Lines(root);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "tarnhold.dat [Rule0] QuarantineArea=held: the quarantine area " +
                          (root.Path() / "quaran" / "held").string() + " does not exist");
  EXPECT_FALSE(std::filesystem::exists(root / "quaran/held"));
}

}  // namespace
}  // namespace tarnhold
