#include <gtest/gtest.h>

#include "admin/admin_texts.h"
#include "admin/dial_up_lists.h"
#include "admin/rule_pages.h"
#include "admin/settings_pages.h"
#include "tests/admin/admin_test_support.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
namespace text = admin_text;
using test::AdminFixture;
using test::TempRoot;

TEST(RulePages, DirectionAndLookupExcludeEachOther) {
  AdminFixture f(test::kOneRule);
  f.SelectRule(0);
  CRuleRecord& rule = *f.S().Rule();
  ASSERT_EQ(SetRuleFlag(f.S(), &CRuleRecord::AllFromTo, true), Handled::Done);
  EXPECT_EQ(SetRuleFlag(f.S(), &CRuleRecord::AllIncoming, true), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kDirectionRefused);
  EXPECT_EQ(rule.AllIncoming, 0);
  ASSERT_EQ(SetRuleFlag(f.S(), &CRuleRecord::AllFromTo, false), Handled::Done);
  ASSERT_EQ(SetRuleFlag(f.S(), &CRuleRecord::AllOutgoing, true), Handled::Done);
  EXPECT_EQ(SetRuleFlag(f.S(), &CRuleRecord::AllFromTo, true), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kLookupRefused);
  EXPECT_EQ(rule.AllFromTo, 0);
}

TEST(RulePages, WithoutACurrentRuleHandlersDoNothing) {
  AdminFixture f(test::kOneRule);
  CGatewayConfig before = f.S().Config();
  EXPECT_EQ(SetRuleFlag(f.S(), &CRuleRecord::Enabled, false), Handled::Done);
  EXPECT_EQ(SetRuleText(f.S(), &CRuleRecord::Comment, "x"), Handled::Done);
  EXPECT_EQ(f.S().Config(), before);
  EXPECT_FALSE(RefillRulePages(f.S()).has_rule);
}

TEST(RulePages, QuarantineAreasNewAndDelete) {
  AdminFixture f(test::kOneRule);
  f.SelectRule(0);
  struct Case {
    std::string name;
    Handled want;
    std::string message;
  } cases[] = {
      {"two words", Handled::Refused, std::string(text::kAreaSpaces)},
      {"../logs", Handled::Refused, std::string(text::kAreaNotAName)},
      {"a/b", Handled::Refused, std::string(text::kAreaNotAName)},
      {"..", Handled::Refused, std::string(text::kAreaNotAName)},
      {"junk", Handled::Refused,
       "Quarantine area 'junk' already exists.  To create a new quarantine area, type a new "
       "unique name and select the New option again"},
      {"held", Handled::Done, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    f.boxes.Clear();
    EXPECT_EQ(NewQuarantineArea(f.S(), c.name), c.want);
    EXPECT_EQ(f.boxes.LastText(), c.message);
  }
  EXPECT_TRUE(fs::is_directory(f.root / "quaran/held"));
  EXPECT_EQ(f.S().Rule()->QuarantineArea, "held");

  f.root.Write("quaran/held/1", "item");
  EXPECT_EQ(DeleteQuarantineArea(f.S(), "held"), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kAreaNotEmpty);
  EXPECT_EQ(DeleteQuarantineArea(f.S(), "../logs"), Handled::Refused);
  EXPECT_TRUE(fs::is_directory(f.root / "logs"));
  fs::remove(f.root / "quaran/held/1");
  EXPECT_EQ(DeleteQuarantineArea(f.S(), "held"), Handled::Done);
  EXPECT_EQ(f.boxes.LastText(), text::kAreaRemoved);
  EXPECT_EQ(f.S().Rule()->QuarantineArea, "");
  EXPECT_FALSE(fs::exists(f.root / "quaran/held"));

  f.S().Rule()->Action = kActionQuarantine;
  f.S().Rule()->QuarantineArea = "gone";
  RulePagesView view = RefillRulePages(f.S());
  EXPECT_EQ(f.boxes.LastText(),
            "CRITICAL ERROR: the quarantine area 'gone' does not exist.  "
            "Specify a valid quarantine area");
  EXPECT_NE(std::find(view.areas.begin(), view.areas.end(), "junk"), view.areas.end());
}

TEST(SettingsPages, LocalUsersKeepTheirNumbersAcrossRemoveAndReAdd) {
  AdminFixture f("[Defaults]\nEnablePOP3Server=1\n[Rule0]\nEnabled=0\n");
  ASSERT_EQ(AddLocalUser(f.S(), "alice", true), Handled::Done);
  ASSERT_EQ(AddLocalUser(f.S(), "bob", false), Handled::Done);
  EXPECT_EQ(AddLocalUser(f.S(), "ALICE", true), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kAccountExists);

  EXPECT_EQ(AddUserAddress(f.S(), 1, "Alice"), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), "Such item already exists in account alice");
  EXPECT_EQ(AddUserAddress(f.S(), -1, "carol"), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kSelectAccount);
  ASSERT_EQ(AddUserAddress(f.S(), 1, "sales"), Handled::Done);
  EXPECT_EQ(UserAddresses(f.S(), 1), std::vector<std::string>{"sales"});
  EXPECT_EQ(RemoveUserAddress(f.S(), 1, "sales"), Handled::Done);
  EXPECT_EQ(f.boxes.Shown().back().icon, BoxIcon::Warning);
  EXPECT_EQ(f.boxes.LastText(), text::kNoMailboxes);

  f.boxes.QueueAnswer(BoxAnswer::Yes);
  ASSERT_EQ(RemoveLocalUser(f.S(), 0), Handled::Done);
  EXPECT_EQ(f.S().Config().local_users[0].Active, 0);
  EXPECT_TRUE(UserAddresses(f.S(), 0).empty());
  ASSERT_EQ(AddLocalUser(f.S(), "Alice", false), Handled::Done);
  EXPECT_EQ(f.boxes.LastText(), text::kAccountReactivated);
  EXPECT_EQ(f.S().Config().local_users.size(), 2u);
  EXPECT_EQ(f.S().Config().local_users[0].Active, 1);

  f.root.Write("popstore/1/1", "x");
  f.root.Write("popstore/1/2", "y");
  EXPECT_EQ(WaitingMessages(f.S(), 1), 2);
}

TEST(SettingsPages, ListsOfTheRoutingAndDiallingPages) {
  AdminFixture f(test::kOneRule);
  ASSERT_EQ(AddLocalDomain(f.S(), "Corp.TEST"), Handled::Done);
  EXPECT_EQ(AddLocalDomain(f.S(), "corp.test"), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kDomainListed);
  EXPECT_EQ(AddLocalDomain(f.S(), ""), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kEnterDomain);
  EXPECT_EQ(f.S().Config().local_domains, std::vector<std::string>{"corp.test"});

  for (const char* t : {"17:30", "08:00", "12:00"}) ASSERT_EQ(AddDialTime(f.S(), t), Handled::Done);
  EXPECT_EQ(AddDialTime(f.S(), "08:00"), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kTimeListed);
  EXPECT_EQ(f.S().Config().dial_times, (std::vector<std::string>{"08:00", "12:00", "17:30"}));

  ASSERT_EQ(SetEnablePop3Server(f.S(), true), Handled::Done);
  EXPECT_EQ(f.boxes.LastText(), text::kPop3ServerEnabled);
  f.S().Config().OutboundGatewayType = 1;
  SettingsView view = RefillSettingsPages(f.S());
  EXPECT_FALSE(view.outbound_host_enabled);
  EXPECT_FALSE(view.inbound_gateway_enabled);
  EXPECT_TRUE(view.local_users_enabled);
}

TEST(SettingsPages, EditCreatesAMissingListFileAndOpensIt) {
  AdminFixture f(test::kOneRule);
  ASSERT_EQ(EditListFile(f.S(), "c:\\tarnhold\\lists\\dns.txt"), Handled::Done);
  EXPECT_TRUE(fs::is_regular_file(f.root / "lists/dns.txt"));
  ASSERT_EQ(f.launcher.calls.size(), 1u);
  EXPECT_EQ(f.launcher.calls[0].args.back(), (f.root / "lists/dns.txt").string());
  f.launcher.fail = true;
  EXPECT_EQ(ViewLogsFolder(f.S()), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kCannotViewLogs);
  EXPECT_EQ(EditTextFile(f.S(), ""), Handled::Refused);
  EXPECT_EQ(f.boxes.LastText(), text::kSelectFile);
}

TEST(SettingsPages, PopAccountsAndScannersNewDelete) {
  AdminFixture f(test::kOneRule);
  int first = NewPopAccount(f.S());
  int second = NewPopAccount(f.S());
  ASSERT_EQ(SetPopText(f.S(), second, &CPopAccountRecord::Account, "b"), Handled::Done);
  const CPopAccountRecord& made = f.S().Config().pop_accounts[static_cast<std::size_t>(first)];
  EXPECT_EQ(made.Active, 1);
  EXPECT_EQ(made.PrecedingText, "for");
  EXPECT_EQ(made.RecipientHeaderNumber, 1);
  ASSERT_EQ(DeletePopAccount(f.S(), first), Handled::Done);
  ASSERT_EQ(f.S().Config().pop_accounts.size(), 1u);
  EXPECT_EQ(f.S().Config().pop_accounts[0].Account, "b");

  int scanner = NewScanner(f.S());
  EXPECT_EQ(f.S().Config().scanners[static_cast<std::size_t>(scanner)], CScannerRecord{});
  ASSERT_EQ(DeleteScanner(f.S(), scanner), Handled::Done);
  EXPECT_TRUE(f.S().Config().scanners.empty());
}

TEST(DialUpLists, PeersFilesAndSerialDevices) {
  TempRoot root;
  root.Write("peers/provider", "");
  root.Write("peers/.hidden", "");
  fs::create_directories(root / "peers/folder");
  for (const char* d : {"ttyS10", "ttyS2", "ttyUSB0", "ttyACM1", "tty", "ttySx", "null"})
    root.Write(std::string("dev/") + d, "");
  EXPECT_EQ(ListDialEntries(root / "peers"), std::vector<std::string>{"provider"});
  std::vector<std::string> want;
  for (const char* d : {"ttyS2", "ttyS10", "ttyACM1", "ttyUSB0"})
    want.push_back((root / "dev" / d).string());
  EXPECT_EQ(ListModems(root / "dev"), want);
  EXPECT_TRUE(ListModems(root / "missing").empty());
}

}  // namespace
}  // namespace tarnhold
