// Shared pieces of the sweeper tests: a data root with a configuration, a message described by
// its facts, the lines the processor writes, and effects that record what was asked of them.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "gateway/gateway_config.h"
#include "platform/spool_folder.h"
#include "sweeper/item_effects.h"
#include "sweeper/rule_context.h"
#include "tests/support/temp_root.h"

namespace tarnhold::test {

// Records each operation as one line ("mail to=... from=... subject=...", "move que 3") and
// answers with the results a test sets. Moves and deletions change nothing on disk.
class RecordingEffects : public ItemEffects {
 public:
  int SendLocalMail(const LocalMail& m) override {
    calls.push_back("mail to=" + m.to + " from=" + m.from + " subject=" + m.subject +
                    " text=" + m.text + " file=" + m.text_file.filename().string());
    return local_mail_result;
  }
  bool ForwardCopy(std::string_view r) override {
    calls.push_back("forward " + std::string(r));
    return true;
  }
  DisclaimerResult AddTextDisclaimer(const std::filesystem::path& f) override {
    calls.push_back("text disclaimer " + f.filename().string());
    return Next(text_results);
  }
  DisclaimerResult AddHtmlDisclaimer(const std::filesystem::path& f) override {
    calls.push_back("html disclaimer " + f.filename().string());
    return Next(html_results);
  }
  void Pause(std::chrono::milliseconds ms) override {
    calls.push_back("pause " + std::to_string(ms.count()));
  }
  std::int64_t ItemSize() override { return item_size; }
  void WriteBandwidthRecord(std::string_view r) override {
    calls.push_back("bandwidth" + std::string(r));
  }
  void SaveArchiveCopy(const std::filesystem::path& f) override {
    calls.push_back("archive " + f.parent_path().filename().string());
  }
  bool ConnectLocal() override {
    calls.push_back("connect");
    return connect_ok;
  }
  int SendResubmission(const Resubmission& r) override {
    std::string files;
    for (const auto& f : r.files) files += " " + f.filename().string();
    calls.push_back("resubmit to=" + r.recipient + " from=" + r.sender + " subject=" + r.subject +
                    " cc=" + r.cc + " files:" + files);
    return send_result;
  }
  void CloseLocal() override { calls.push_back("close"); }
  std::optional<std::uint32_t> MoveItem(const std::filesystem::path& folder, std::uint32_t start,
                                        std::string& error) override {
    std::string name = folder.parent_path().filename() == "quaran"
                           ? "quaran/" + folder.filename().string()
                           : folder.filename().string();
    if (!move_ok) {
      calls.push_back("move failed " + name);
      error = "refused";
      return std::nullopt;
    }
    std::uint32_t n = FindFreeNumber(folder, start);
    calls.push_back("move " + name + " " + std::to_string(n));
    return n;
  }
  bool DeleteItem() override {
    calls.push_back("delete");
    return true;
  }

  std::vector<std::string> calls;
  int local_mail_result = kLocalMailSent;
  bool connect_ok = true;
  int send_result = 0;
  bool move_ok = true;
  std::int64_t item_size = 1000;
  std::deque<DisclaimerResult> text_results;  // empty: Added
  std::deque<DisclaimerResult> html_results;

 private:
  static DisclaimerResult Next(std::deque<DisclaimerResult>& results) {
    if (results.empty()) return DisclaimerResult::Added;
    DisclaimerResult r = results.front();
    results.pop_front();
    return r;
  }
};

// A data root with a configuration in memory and a message: `Context()` makes the rule context
// whose lines land in `lines`.
struct SweepFixture {
  SweepFixture() : config(root.Path()) {
    config.local_domains = {"example.com"};
    config.AdminEmail = "admin@example.com";
    config.SpamReplyEmail = "spam@example.com";
    message.item_path = root / "queproc/1";
    message.envelope_recipient = "bob@example.com";
    message.envelope_sender = "eve@outside.test";
    message.to = "bob@example.com";
    message.message_id = "<1@outside.test>";
    message.date = "Mon, 7 Dec 2026 10:00:00 +0000";
    message.subject = "hello";
    message.body = "Hello Bob\r\n";
  }

  // A rule that is enabled and applies to all mail.
  static CRuleRecord AllMailRule() {
    CRuleRecord r;
    r.Enabled = 1;
    r.AllIncoming = 1;
    r.AllOutgoing = 1;
    return r;
  }

  RuleContext Context() {
    return RuleContext{config,
                       message,
                       effects,
                       [this](std::string_view line) { lines.emplace_back(line); },
                       root / "attachments.zip",
                       {},
                       {}};
  }

  TempRoot root;
  CGatewayConfig config;
  MessageFacts message;
  RecordingEffects effects;
  std::vector<std::string> lines;
};

}  // namespace tarnhold::test
