#include "admin/admin_session.h"

#include <gtest/gtest.h>

#include "admin/admin_texts.h"
#include "admin/settings_pages.h"
#include "gateway/list_file.h"
#include "tests/admin/admin_test_support.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
namespace text = admin_text;
using test::AdminFixture;
using test::TempRoot;

TEST(AdminStartUp, StepLogHoldsEveryStepInOrder) {
  TempRoot root;
  root.Write("logs/loadGUI.log", "from the last start\n");
  RecordingMessageBox boxes;
  RecordingLauncher launcher;
  AdminSession session(root.Path(), boxes, launcher);
  std::vector<std::string> gui_lines;
  session.StartUp([&](std::string_view line) { gui_lines.emplace_back(line); });
  const std::string want =
      "started\nallocating new image list\nloading tree icon resources\nsetting image list\n"
      "creating property pages\nrepsitioning\nbuilding settings tree\nloading EGsetup\n"
      "updating list time stamps\ndisplaying rules\ncreating new ras client\nlisting modems\n"
      "showing window\nall done\n";
  EXPECT_EQ(TempRoot::Read(root / "logs/loadGUI.log"), want);
  EXPECT_EQ(gui_lines.size(), 14u);
  EXPECT_EQ(session.CurrentRule(), -1);
}

TEST(AdminTree, SettingsItemsThenRulesWithTheirChildren) {
  AdminFixture f(test::kOneRule);
  const std::vector<TreeItem>& tree = f.S().Tree();
  ASSERT_EQ(tree.size(), 10u);
  EXPECT_EQ(tree[0].text, "General Settings");
  EXPECT_EQ(tree[8].text, "Logs");
  EXPECT_EQ(tree[9].text, "Rule 0 - first");
  ASSERT_EQ(tree[9].children.size(), 5u);
  EXPECT_EQ(tree[9].children[4].text, "Final Action");

  ASSERT_EQ(f.S().NewRule(), Handled::Done);
  EXPECT_EQ(f.S().Tree().back().text, "Rule 1 - (new rule - enter own description)");
  const CRuleRecord& added = f.S().Config().rules.back();
  EXPECT_EQ(added.Enabled, 0);
  EXPECT_EQ(added.CompressionTreshold, 30);
  EXPECT_EQ(added.ArchivePath, "c:\\tarnhold\\archive");
}

TEST(AdminTree, SelectionNamesTheRuleThroughTheItemText) {
  struct Case {
    TreeSelection selection;
    std::optional<int> want;
  } cases[] = {
      {{"Rule 12 - anything", ""}, 12},
      {{"Tasks", "Rule 3 - Rule 9 in the comment"}, 3},
      {{"General Settings", ""}, std::nullopt},
      {{"Rulebook", ""}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selection.text);
    EXPECT_EQ(RuleOfSelection(c.selection), c.want);
  }
}

TEST(AdminRuleCommands, DeleteUpDownAndTheirRefusals) {
  const std::string three =
      "[Rule0]\nEnabled=1\nComment=a\n[Rule1]\nEnabled=1\nComment=b\n"
      "[Rule2]\nEnabled=1\nComment=c\n";
  using Command = Handled (AdminSession::*)(const TreeSelection&);
  const Command up = &AdminSession::MoveRuleUp, down = &AdminSession::MoveRuleDown,
                del = &AdminSession::DeleteRule;
  struct Case {
    const char* name;
    Command command;
    TreeSelection selection;
    std::string want_order;
    std::string want_message;
  } cases[] = {
      {"up first", up, {"Rule 0 - a", ""}, "abc", ""},
      {"down last", down, {"Tasks", "Rule 2 - c"}, "abc", ""},
      {"up second", up, {"Tasks", "Rule 1 - b"}, "bac", ""},
      {"down first", down, {"Rule 0 - a", ""}, "bac", ""},
      {"delete middle", del, {"Rule 1 - b", ""}, "ac", ""},
      {"delete nothing", del, {}, "abc", ""},
      {"delete settings", del, {"Logs", ""}, "abc", std::string(text::kSelectRule)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AdminFixture f(three);
    f.SelectRule(1);
    (void)(f.S().*c.command)(c.selection);
    std::string order;
    for (const CRuleRecord& r : f.S().Config().rules) order += r.Comment;
    EXPECT_EQ(order, c.want_order);
    EXPECT_EQ(f.boxes.LastText(), c.want_message);
    EXPECT_EQ(f.S().CurrentRule(), c.want_message.empty() && c.want_order != "abc" ? -1 : 1);
  }
  AdminFixture one(test::kOneRule);
  EXPECT_EQ(one.S().DeleteRule({"Rule 0 - first", ""}), Handled::Refused);
  EXPECT_EQ(one.boxes.LastText(), "There must be at least one rule");
  EXPECT_EQ(one.S().Config().rules.size(), 1u);
}

TEST(AdminSave, EachCheckStopsTheSaveWithItsMessage) {
  struct Case {
    const char* name;
    std::function<void(CGatewayConfig&)> set_up;
    std::string routing_box;
    std::string want;
  } cases[] = {
      {"pop without default",
       [](CGatewayConfig& c) {
         c.local_domains = {"corp.test"};
         c.pop_accounts.push_back({1, "", "for", 0, 1, "acct", "host", "pw"});
       },
       "",
       "Every POP3 account download must have a default address, for example postmaster@corp.test"},
      {"routing box", [](CGatewayConfig&) {}, "typed.test", std::string(text::kRoutingBoxNotAdded)},
      {"from list", [](CGatewayConfig& c) { c.rules[0].AllFromTo = 1; }, "",
       "The rule 'first' has lookup enabled but the FROM list does not exist.  Please either "
       "specify a valid list file or turn off the dynamic lookup"},
      {"to list",
       [](CGatewayConfig& c) {
         c.rules[0].AllFromTo = 1;
         c.rules[0].From = "c:\\tarnhold\\lists\\from.txt";
       },
       "",
       "The rule 'first' has lookup enabled but the TO list does not exist.  Please either specify "
       "a valid list file or turn off the dynamic lookup"},
      {"exception list", [](CGatewayConfig& c) { c.rules[0].EnableRecipientExceptionList = 1; }, "",
       "The rule 'first' has the exception list enabled but the required file does not exist.  "
       "Please either specify a valid list file or turn off the exception list lookup"},
      {"adult word", [](CGatewayConfig& c) { c.AdultKeywords = "xx,IRS"; }, "",
       "The rule 'first' cannot contain words in it's description that are the same as words that "
       "define adult content"},
      {"keyword of another rule",
       [](CGatewayConfig& c) {
         c.rules.push_back(c.rules[0]);
         c.rules[1].Comment = "second";
         c.rules[1].BlockKeywords = "zzz,FIR";
       },
       "", "The description of rule 'first' cannot contain words: zzz,FIR"},
      {"missing area", [](CGatewayConfig& c) { c.rules[0].QuarantineArea = "nowhere"; }, "",
       "The rule 'first' specifies an invalid quarantine area.  Click on the NEW button to create "
       "a new quarantine area or select an existing one from the list"},
      {"area outside quaran", [](CGatewayConfig& c) { c.rules[0].QuarantineArea = "../logs"; }, "",
       "The rule 'first' specifies an invalid quarantine area.  Click on the NEW button to create "
       "a new quarantine area or select an existing one from the list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AdminFixture f(test::kOneRule);
    f.root.Write("lists/from.txt", "a@b.test\n");
    std::string before = TempRoot::Read(f.root / "tarnhold.dat");
    c.set_up(f.S().Config());
    EXPECT_EQ(f.S().Ok({c.routing_box}), SaveOutcome::Stayed);
    EXPECT_EQ(f.boxes.LastText(), c.want);
    EXPECT_EQ(TempRoot::Read(f.root / "tarnhold.dat"), before);
    EXPECT_FALSE(fs::exists(f.root / "aliases.dat"));
  }
}

TEST(AdminSave, ScannerWarningDoesNotStopTheSave) {
  AdminFixture f(test::kOneRule);
  f.S().Config().scanners.push_back({1, 0, "", "", "", "", "", "/no/such/scanner", "Scan"});
  ASSERT_EQ(f.S().Ok({}), SaveOutcome::Saved);
  ASSERT_EQ(f.boxes.Shown().size(), 2u);
  EXPECT_EQ(f.boxes.Shown()[0].text,
            "Warning: Virus-scanner Scan has been enabled but the EXE path is invalid, this may "
            "lead the virus sweeper module to stop responding.  Please correct the EXE path or "
            "disable the scanner");
  EXPECT_EQ(f.boxes.Shown()[1].text,
            "You need to restart Tarnhold for the new settins to take effect");
  EXPECT_EQ(f.boxes.Shown()[1].icon, BoxIcon::Information);
}

TEST(AdminSave, NothingIsWrittenBeforeOk) {
  AdminFixture f(test::kOneRule);
  std::string before = TempRoot::Read(f.root / "tarnhold.dat");
  f.S().Config().SMTPInPort = 26;
  (void)f.S().NewRule();
  f.session.reset();  // "Cancel"
  EXPECT_EQ(TempRoot::Read(f.root / "tarnhold.dat"), before);
}

TEST(AdminSave, SecondWindowIsAskedBeforeOverwritingTheFirstOnesSave) {
  for (BoxAnswer answer : {BoxAnswer::No, BoxAnswer::Yes}) {
    AdminFixture f(test::kOneRule);
    RecordingMessageBox second_boxes;
    auto second = f.SecondWindow(second_boxes);
    f.S().Config().SMTPInPort = 1111;
    ASSERT_EQ(f.S().Ok({}), SaveOutcome::Saved);
    second->Config().SMTPInPort = 2222;
    second_boxes.QueueAnswer(answer);
    SaveOutcome outcome = second->Ok({});
    EXPECT_EQ(second_boxes.Shown().at(0).text, text::kConfigChangedElsewhere);
    CGatewayConfig read(f.root.Path());
    (void)read.Load();
    EXPECT_EQ(outcome, answer == BoxAnswer::Yes ? SaveOutcome::Saved : SaveOutcome::Stayed);
    EXPECT_EQ(read.SMTPInPort, answer == BoxAnswer::Yes ? 2222 : 1111);
  }
}

// What thqueue does to spamfree.dat: one sender appended under the list's lock.
WriteResult QueueManagerAppends(const fs::path& list, std::string_view sender) {
  SpamFreeLock lock;
  std::string error;
  if (lock.Open(list, error) != LockResult::Locked) return WriteResult::Failed;
  return lock.Append(sender, error);
}

TEST(AdminSpamLists, AnAdditionByTheQueueManagerIsNeverOverwritten) {
  AdminFixture f(test::kOneRule);
  ASSERT_EQ(AddSpamEntry(f.S(), SpamList::Friends, "Friend@A.test"), Handled::Done);
  ASSERT_EQ(AddSpamEntry(f.S(), SpamList::Redirections, "*@corp.test"), Handled::Done);
  EXPECT_EQ(TempRoot::Read(f.root / "spamfree.dat"), "friend@a.test\n");
  EXPECT_EQ(TempRoot::Read(f.root / "aliases.dat"), "*@corp.test\n");

  ASSERT_EQ(QueueManagerAppends(f.root / "spamfree.dat", "queued@b.test"), WriteResult::Written);
  EXPECT_EQ(AddSpamEntry(f.S(), SpamList::Friends, "second@c.test"), Handled::Done);
  EXPECT_EQ(f.boxes.LastText(), text::kSpamFreeChanged);
  EXPECT_EQ(TempRoot::Read(f.root / "spamfree.dat"), "friend@a.test\nqueued@b.test\n");
  // The list was read again, so the next change keeps the queue manager's entry.
  ASSERT_EQ(AddSpamEntry(f.S(), SpamList::Friends, "second@c.test"), Handled::Done);
  EXPECT_EQ(TempRoot::Read(f.root / "spamfree.dat"),
            "friend@a.test\nqueued@b.test\nsecond@c.test\n");

  // At save: tarnhold.dat and aliases.dat are written, spamfree.dat is not.
  ASSERT_EQ(QueueManagerAppends(f.root / "spamfree.dat", "late@d.test"), WriteResult::Written);
  f.S().MutableRedirections().push_back("x@corp.test");
  f.S().Config().SMTPInPort = 2626;
  ASSERT_EQ(f.S().Ok({}), SaveOutcome::Saved);
  EXPECT_EQ(f.boxes.Shown().at(f.boxes.Shown().size() - 2).text, text::kSpamFreeChanged);
  EXPECT_EQ(TempRoot::Read(f.root / "aliases.dat"), "*@corp.test\nx@corp.test\n");
  EXPECT_NE(TempRoot::Read(f.root / "spamfree.dat").find("late@d.test"), std::string::npos);
}

TEST(AdminSpamLists, AListReadOnlyInPartIsNeverWrittenBack) {
  AdminFixture f(test::kOneRule);
  std::string big;
  for (int i = 0; big.size() <= kMaxListFileBytes; ++i)
    big += "sender" + std::to_string(i) + "@x.test\n";
  f.root.Write("spamfree.dat", big);
  f.S().Select({"Logs", ""});
  EXPECT_EQ(AddSpamEntry(f.S(), SpamList::Friends, "new@x.test"), Handled::Done);
  EXPECT_EQ(f.boxes.LastText(),
            std::string(text::kListReadInPart) + (f.root / "spamfree.dat").string());
  EXPECT_EQ(TempRoot::Read(f.root / "spamfree.dat"), big);
}

TEST(AdminValues, TextsTheGatewayWouldMisreadAreRefused) {
  AdminFixture f(test::kOneRule);
  struct Case {
    const char* name;
    std::function<Handled(AdminSession&)> set;
    std::string_view want;
  } cases[] = {
      {"line feed",
       [](AdminSession& s) { return SetDefaultsText(s, &CGatewayConfig::AdminEmail, "a\nb"); },
       text::kValueHasLineBreak},
      {"carriage return", [](AdminSession& s) { return AddLocalDomain(s, "a\rb.test"); },
       text::kValueHasLineBreak},
      {"255 characters",
       [](AdminSession& s) {
         return SetDefaultsText(s, &CGatewayConfig::AdultKeywords, std::string(255, 'k'));
       },
       text::kValueTooLong},
      {"comment entry", [](AdminSession& s) { return AddSpamEntry(s, SpamList::Friends, ";x"); },
       text::kListEntryIsComment},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CGatewayConfig before = f.S().Config();
    EXPECT_EQ(c.set(f.S()), Handled::Refused);
    EXPECT_EQ(f.boxes.LastText(), c.want);
    EXPECT_EQ(f.S().Config(), before);
  }
  EXPECT_EQ(SetDefaultsText(f.S(), &CGatewayConfig::AdultKeywords, std::string(254, 'k')),
            Handled::Done);
  EXPECT_FALSE(fs::exists(f.root / "spamfree.dat"));
}

TEST(AdminKeywords, SubstringsWithoutRegardToCaseBlanksIncluded) {
  struct Case {
    std::string_view text, keywords;
    bool want;
  } cases[] = {
      {"Block Casino mail", "casino", true},
      {"Block-Casino mail", "poker, casino", false},  // " casino" with its blank: not there
      {"Block casino mail", "poker, casino", true},
      {"anything", "a,,", true},
      {"xyz", ",,", false},  // empty keywords match nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + std::string(c.keywords));
    EXPECT_EQ(ContainsKeyword(c.text, c.keywords), c.want);
  }
}

}  // namespace
}  // namespace tarnhold
