#include "sweeper/final_action.h"

#include <gtest/gtest.h>

#include <utility>

#include "sweeper/rule_tasks.h"
#include "sweeper/rule_walk.h"
#include "tests/sweeper/sweep_fixture.h"

namespace tarnhold {
namespace {

using test::SweepFixture;
using Lines = std::vector<std::string>;

// Walks the rules, decides and finishes; returns the outcome.
ItemOutcome Sweep(SweepFixture& f, bool off_peak_now = false, std::uint32_t* hint_out = nullptr) {
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  std::uint32_t hint = hint_out ? *hint_out : 0;
  ItemOutcome outcome = FinishItem(ctx, DecideFinalAction(ctx, off_peak_now), hint);
  if (hint_out) *hint_out = hint;
  return outcome;
}

CRuleRecord Always(int action) {
  CRuleRecord r = SweepFixture::AllMailRule();
  r.BlockEverything = 1;
  r.Action = action;
  return r;
}

TEST(FinalAction, NoRuleSendsToTheQueueFromTheHint) {
  SweepFixture f;
  f.root.Write("que/1", "");
  f.root.Write("que/2", "");
  std::uint32_t hint = 0;
  ItemOutcome o = Sweep(f, false, &hint);
  EXPECT_EQ(o.destination, Destination::SendQueue);
  EXPECT_EQ(f.lines, (Lines{"obtaining new queue ID ...", "item in Send que with ID  3"}));
  EXPECT_EQ(hint, 3u);
  SweepFixture g;
  g.root.Write("que/1", "");
  Sweep(g, false, &hint);  // the search starts at the hint, not at the first gap
  EXPECT_EQ(g.effects.calls.back(), "move que 3");
}

TEST(FinalAction, QuarantineAndDelete) {
  SweepFixture f;
  CRuleRecord q = Always(kActionQuarantine);
  q.QuarantineArea = "held";
  f.config.rules = {q};
  ItemOutcome o = Sweep(f);
  EXPECT_EQ(o.destination, Destination::Quarantine);
  EXPECT_EQ(DestinationText(o.destination, o.area), "quaran/held");
  EXPECT_EQ(f.lines.back(), "rule 0 - message moved to quarantine area 'held'");
  EXPECT_EQ(f.effects.calls, (Lines{"move quaran/held 1"}));

  SweepFixture g;
  g.config.rules = {Always(kActionDelete)};
  EXPECT_EQ(Sweep(g).destination, Destination::Deleted);
  EXPECT_EQ(g.lines.back(), "rule 0 - message has been deleted");
}

TEST(FinalAction, OffPeakDeferral) {
  SweepFixture f;
  f.config.rules = {Always(kActionOffPeak)};
  ItemOutcome o = Sweep(f, /*off_peak_now=*/false);
  EXPECT_EQ(o.destination, Destination::OffPeak);
  EXPECT_EQ(f.lines.back(), "rule 0 - delievery delayed until off-peak time");

  SweepFixture g;
  g.config.rules = {Always(kActionOffPeak)};
  EXPECT_EQ(Sweep(g, /*off_peak_now=*/true).destination, Destination::SendQueue);
}

TEST(FinalAction, ArchiveMarksOnceIgnoringCase) {
  SweepFixture f;
  CRuleRecord a = Always(kActionContinue);
  a.Archive = 1;
  a.ArchivePath = "c:\\tarnhold\\archive\\legal";
  CRuleRecord b = a;
  b.ArchivePath = "C:\\Tarnhold\\Archive\\LEGAL";
  f.config.rules = {a, b};
  Sweep(f);
  EXPECT_EQ(std::count(f.lines.begin(), f.lines.end(),
                       "marked for archive in c:\\tarnhold\\archive\\legal"),
            1);
  EXPECT_EQ(std::count(f.lines.begin(), f.lines.end(),
                       "already marked for archive in C:\\Tarnhold\\Archive\\LEGAL"),
            1);
  EXPECT_EQ(std::count_if(f.effects.calls.begin(), f.effects.calls.end(),
                          [](const std::string& c) { return c == "archive legal"; }),
            1);
}

TEST(FinalAction, DisclaimerRetriesAndSizeLimit) {
  SweepFixture f;
  CRuleRecord r = Always(kActionContinue);
  r.AddTextDisclaimer = 1;
  r.TextDisclaimerFile = "disc.txt";
  r.AddHTMLDisclaimer = 1;
  r.HTMLDisclaimerFile = "disc.htm";
  f.config.rules = {r};
  constexpr auto kFileError = DisclaimerResult::FileError;
  f.effects.text_results = {kFileError, kFileError, DisclaimerResult::Added};
  f.effects.html_results = {DisclaimerResult::NoHtmlPart};
  Sweep(f);
  Lines want_start = {"file error adding text dislaimer, retrying ...",
                      "file error adding text dislaimer, retrying ...",
                      "added text disclaimer from disc.txt",
                      "no HTML message part to add the disclaimer to"};
  EXPECT_EQ(Lines(f.lines.end() - 6, f.lines.end() - 2), want_start);

  SweepFixture g;
  g.config.rules = {r};
  g.effects.text_results.assign(kDisclaimerAttempts, kFileError);
  g.effects.text_results.push_back(DisclaimerResult::Added);  // one attempt too late
  g.effects.html_results.assign(kDisclaimerAttempts, kFileError);
  Sweep(g);
  EXPECT_EQ(
      std::count(g.lines.begin(), g.lines.end(), "error: aborting operation after max retries"), 2);
  EXPECT_EQ(std::count(g.lines.begin(), g.lines.end(),
                       "file error adding HTML disclaimer from disc.htm, retrying ..."),
            5);
  EXPECT_EQ(std::count(g.effects.calls.begin(), g.effects.calls.end(), "pause 100"), 12);

  SweepFixture h;
  h.config.rules = {r};
  h.message.item_size = 600000;
  Sweep(h);
  EXPECT_EQ(std::count(h.lines.begin(), h.lines.end(), "rule 0 message too big to add disclaimer"),
            2);
  EXPECT_EQ(
      std::count_if(h.effects.calls.begin(), h.effects.calls.end(),
                    [](const std::string& c) { return c.find("disclaimer") != std::string::npos; }),
      0);
}

TEST(FinalAction, NoticesAndForwardedCopy) {
  SweepFixture f;
  CRuleRecord r = Always(kActionContinue);
  r.NotifyRecipientOnAction = 1;
  r.NotifyRecipientFile = "note.txt";
  r.NotifyAdminOnAction = 1;
  r.Comment = "big files";
  r.EnableForwardCopyTo = 1;
  r.ForwardCopyTo = "audit@example.com";
  f.config.rules = {r};
  f.effects.local_mail_result = kLocalMailNoConnection;
  Sweep(f);
  EXPECT_EQ(
      Lines(f.lines.begin() + 3, f.lines.begin() + 8),
      (Lines{"sending notification to recipient from admin@example.com to bob@example.com",
             "critical error: notification failed", "sending notification to the administrator",
             "critical error: notification failed",
             "forwarding a copy of the message to audit@example.com"}));
  EXPECT_EQ(f.effects.calls[0],
            "mail to=bob@example.com from=admin@example.com subject=RE: Message to you from "
            "eve@outside.test - message dated Mon, 7 Dec 2026 10:00:00 +0000 text= file=note.txt");
  EXPECT_EQ(f.effects.calls[1],
            "mail to=admin@example.com from=admin@example.com subject=Tarnhold Notification rule 0 "
            "big files text=Triggered on message from eve@outside.test to bob@example.com file=");
  EXPECT_EQ(f.effects.calls[2], "forward audit@example.com");
}

TEST(FinalAction, BandwidthRecord) {
  SweepFixture f;
  f.config.LogBandwidth = 1;
  f.effects.item_size = 4321;
  Sweep(f);
  EXPECT_EQ(f.effects.calls[0],
            "bandwidth\tMon, 7 Dec 2026 10:00:00 +0000\t<1@outside.test>\teve@outside.test\t"
            "bob@example.com\t4321");
}

TEST(Rebuild, KeptAndDroppedAttachments) {
  SweepFixture f;
  auto exe = f.root / "temp/t/0/a.exe";
  auto txt = f.root / "temp/t/1/b.txt";
  auto html = f.root / "temp/t/2/th_HTML_body.htm";
  f.message.attachments = {exe, txt, html};
  CRuleRecord r = Always(kActionRemoveListedTypes);
  r.RemoveFileTypes = "exe";
  f.config.rules = {r};
  f.message.cc = "carol@example.com";
  EXPECT_EQ(Sweep(f).destination, Destination::Resubmitted);
  EXPECT_EQ(Lines(f.lines.end() - 7, f.lines.end()),
            (Lines{"resending ...", "dropping attachment ..." + exe.string(),
                   "reinserting attachment ..." + txt.string(), "encoding ...",
                   "connecting to local SMTP server port", "resending completed messsage ...",
                   "sent OK"}));
  EXPECT_EQ(f.effects.calls,
            (Lines{"connect",
                   "resubmit to=bob@example.com from=eve@outside.test subject=hello "
                   "cc=carol@example.com files: b.txt",
                   "close", "delete"}));
}

TEST(Rebuild, TypesAndLists) {
  SweepFixture f;
  auto pdf = f.root / "temp/t/0/a.pdf";
  auto exe = f.root / "temp/t/1/b.exe";
  auto noext = f.root / "temp/t/2/README";
  f.message.attachments = {pdf, exe, noext};
  struct Case {
    RebuildType type;
    const char* list;
    std::vector<std::filesystem::path> want;
  } cases[] = {
      {RebuildType::DropListedTypes, "exe,com", {pdf, noext}},
      {RebuildType::DropListedTypes, "ex", {pdf, exe, noext}},  // "exe" is not in "ex", ...
      {RebuildType::DropListedTypes, "exe", {pdf, noext}},
      {RebuildType::KeepListedTypes, "PDF,DOC", {pdf}},
      {RebuildType::DropAllAttachments, "", {}},
      {RebuildType::KeepAllAttachments, "", {pdf, exe, noext}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.type)) + " " + c.list);
    RuleContext ctx = f.Context();
    EXPECT_EQ(SelectRebuildFiles(ctx, c.type, c.list), c.want);
  }
  // ... but an extension is listed when the list holds it as a substring.
  SweepFixture g;
  g.message.attachments = {g.root / "temp/t/0/x.ex"};
  RuleContext ctx = g.Context();
  EXPECT_TRUE(SelectRebuildFiles(ctx, RebuildType::DropListedTypes, "exe,com").empty());
}

TEST(Rebuild, RemoveAllWritesNoEncodingLine) {
  SweepFixture f;
  f.message.attachments = {f.root / "temp/t/0/a.doc", f.root / "temp/t/1/b.doc"};
  f.config.rules = {Always(kActionRemoveAllAttachments)};
  Sweep(f);
  EXPECT_EQ(Lines(f.lines.end() - 6, f.lines.end()),
            (Lines{"resending without any file attachments...",
                   "dropping attachment ..." + (f.root / "temp/t/0/a.doc").string(),
                   "dropping attachment ..." + (f.root / "temp/t/1/b.doc").string(),
                   "connecting to local SMTP server port", "resending completed messsage ...",
                   "sent OK"}));
}

TEST(Rebuild, FailedResubmissionKeepsTheMessage) {
  struct Case {
    bool connect_ok;
    int send_result;
    const char* last_rebuild_line;
  } cases[] = {{false, 0, "connecting to local SMTP server port"},
               {true, 4, "ERROR: resend FAILED ..."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.last_rebuild_line);
    SweepFixture f;
    f.message.attachments = {f.root / "temp/t/0/a.doc"};
    f.config.rules = {Always(kActionRemoveAllAttachments)};
    f.effects.connect_ok = c.connect_ok;
    f.effects.send_result = c.send_result;
    ItemOutcome o = Sweep(f);
    EXPECT_EQ(o.destination, Destination::Errors);
    EXPECT_EQ(f.lines[f.lines.size() - 2], c.last_rebuild_line);
    EXPECT_EQ(f.lines.back(),
              "... resubmission failed, message moved to errors quarantine area as 1");
    EXPECT_EQ(std::count(f.effects.calls.begin(), f.effects.calls.end(), "delete"), 0);
    EXPECT_EQ(f.effects.calls.back(), "move quaran/errors 1");
  }
}

TEST(FinalAction, FailedMoveFallsBackToErrors) {
  SweepFixture f;
  f.effects.move_ok = false;
  ItemOutcome o = Sweep(f);
  EXPECT_EQ(o.destination, Destination::Stayed);
  EXPECT_EQ(f.lines, (Lines{"obtaining new queue ID ...", "error: could not move the item: refused",
                            "error: could not move the item: refused"}));
}

TEST(ActionCheck, NothingToDoLines) {
  struct Case {
    int action;
    const char* types;
    std::vector<std::string> attachments;
    std::vector<std::string> content_types;
    bool zip, zip_paths, zip_encrypted;
    bool want_rewrite;
    Lines want;
  } cases[] = {
      {kActionRemoveListedTypes,
       "exe",
       {"/t/0/a.txt"},
       {},
       false,
       false,
       false,
       false,
       {"rule 0 nothing to do, no files are of typeexe attachments to remove"}},
      {kActionRemoveListedTypes, "exe", {"/t/0/a.EXE"}, {}, false, false, false, true, {}},
      {kActionKeepListedTypes,
       "PDF,DOC",
       {"/t/0/a.pdf", "/t/1/b.doc"},
       {},
       false,
       false,
       false,
       false,
       {"rule 0nothing to do, all files are of type PDF,DOC"}},
      {kActionKeepListedTypes,
       "PDF,DOC",
       {"/t/0/a.pdf", "/t/1/b.exe"},
       {},
       false,
       false,
       false,
       true,
       {}},
      {kActionRemoveHtml,
       "",
       {},
       {"text/plain"},
       false,
       false,
       false,
       false,
       {"rule 0 - nothing to do, there is no HTML body content "}},
      {kActionRemoveHtml, "", {}, {"text/html"}, false, false, false, true, {}},
      {kActionCompress,
       "",
       {},
       {},
       true,
       false,
       false,
       false,
       {"nothing to do, message already compressed"}},
      {kActionDecompress,
       "",
       {},
       {},
       false,
       false,
       false,
       false,
       {"nothing to do, message does not contain any ZIP archive(s)"}},
      {kActionDecompress,
       "",
       {},
       {},
       true,
       true,
       true,
       false,
       {"aborting decompression: zip contains full path names"}},
      {kActionDecompress,
       "",
       {},
       {},
       true,
       false,
       true,
       false,
       {"cannot extract zip files because the zip archive is password protected"}},
      {kActionDecompress,
       "",
       {},
       {},
       true,
       false,
       false,
       true,
       {"message zip archive(s) already extracted "}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.action) + (c.want.empty() ? "" : c.want[0]));
    SweepFixture f;
    CRuleRecord r = Always(c.action);
    r.RemoveFileTypes = c.types;
    for (const auto& a : c.attachments) f.message.attachments.emplace_back(a);
    f.message.content_types = c.content_types;
    f.message.has_zip = c.zip;
    f.message.zip_with_paths = c.zip_paths;
    f.message.zip_encrypted = c.zip_encrypted;
    RuleContext ctx = f.Context();
    RunActionCheck(0, r, ctx);
    EXPECT_EQ(ctx.state.rewrite, c.want_rewrite);
    EXPECT_EQ(f.lines, c.want);
  }
}

// The rule's number becomes the rebuild in one place; an action that keeps the message asks for
// no rebuild.
TEST(FinalAction, RebuildTypeOfEachAction) {
  const std::pair<int, RebuildType> cases[] = {
      {kActionContinue, RebuildType::None},
      {kActionQuarantine, RebuildType::None},
      {kActionDelete, RebuildType::None},
      {kActionOffPeak, RebuildType::None},
      {kActionRemoveListedTypes, RebuildType::DropListedTypes},
      {kActionKeepListedTypes, RebuildType::KeepListedTypes},
      {kActionRemoveAllAttachments, RebuildType::DropAllAttachments},
      {kActionRemoveHtml, RebuildType::KeepAllAttachments},
      {kActionCompress, RebuildType::CompressedResend},
      {kActionDecompress, RebuildType::KeepAllAttachments},
      {10, RebuildType::None},
  };
  for (const auto& [action, want] : cases) {
    SCOPED_TRACE(action);
    EXPECT_EQ(RebuildTypeForAction(action), want);
  }
}

TEST(FinalAction, DecompressRebuildsAsTypeSeven) {
  SweepFixture f;
  f.message.has_zip = true;
  f.message.attachments = {f.root / "temp/t/0/inner.txt"};
  f.config.rules = {Always(kActionDecompress)};
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  FinalAction a = DecideFinalAction(ctx, false);
  EXPECT_EQ(a.action, kActionDecompress);
  EXPECT_EQ(a.rebuild_type, RebuildType::KeepAllAttachments);
  std::uint32_t hint = 0;
  FinishItem(ctx, a, hint);
  EXPECT_NE(std::find(f.lines.begin(), f.lines.end(), "resending without any HTML"), f.lines.end());
}

}  // namespace
}  // namespace tarnhold
