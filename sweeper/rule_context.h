// The per-message working state of the rule walk and what every step of it reads: the
// configuration snapshot, the message, the log and the effects. Created for one item and
// dropped with it.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "gateway/gateway_config.h"
#include "sweeper/item_effects.h"
#include "sweeper/message_facts.h"
#include "sweeper/sweep_log.h"

namespace tarnhold {

struct MessageState {
  int stopping_rule = -1;  // the rule whose action decides; -1 none
  bool triggered = false;  // the current rule fired
  bool spam = false;       // the SPAM test fired for some rule: replies use SpamReplyEmail
  bool not_spam = false;   // the message is addressed to a local domain or an alias
  bool defer = false;      // a triggered rule with Action 3 let checking continue
  int defer_rule = -1;     // the last such rule
  bool rewrite = false;    // the stopping rule's rewriting action has something to do
  bool torn = false;       // a TEAR rule ended the walk
  std::vector<std::string> archive_paths;  // as written in the rules, compared without case
  std::string text_disclaimer;             // file name; empty: none requested
  std::string html_disclaimer;
  std::vector<int> rules_applied;    // the rules that applied to the message, in walk order
  std::vector<int> rules_triggered;  // those of them that triggered
};

struct RuleContext;

// The virus check of one rule (check 2): true when a threat makes the rule trigger. Unset (as
// in a dry run, which must start no scanner) the check is passed over.
using VirusCheck = std::function<bool(int rule_number, const CRuleRecord& rule, RuleContext& ctx)>;

struct RuleContext {
  const CGatewayConfig& config;
  const MessageFacts& message;
  ItemEffects& effects;
  LineSink log;
  // Work file of the compression action: <root>/attachments.zip, or a private one in a dry run.
  std::filesystem::path work_zip;
  VirusCheck virus_check;
  MessageState state;

  [[nodiscard]] const std::filesystem::path& Root() const { return config.Root(); }
  // A file of the text folder (replies, notices, disclaimers).
  [[nodiscard]] std::filesystem::path TextFile(const std::string& name) const {
    return config.Layout().Texts() / name;
  }
};

// "rule " followed by the rule number: the prefix of the rule's lines.
[[nodiscard]] inline std::string RulePrefix(int rule_number) {
  return "rule " + std::to_string(rule_number);
}

}  // namespace tarnhold
