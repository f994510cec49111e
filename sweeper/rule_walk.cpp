#include "sweeper/rule_walk.h"

#include "gateway/address_lists.h"
#include "platform/data_root.h"
#include "sweeper/rule_checks.h"
#include "sweeper/rule_tasks.h"

namespace tarnhold {
namespace {

std::string DomainOfAddress(const std::string& address) {
  std::size_t at = address.find('@');
  return at == std::string::npos ? address : address.substr(at + 1);
}

bool Listed(RuleContext& ctx, const std::string& address, const std::string& list) {
  return lists::MatchListFile(address, MapConfigPath(ctx.Root(), list)) == 1;
}

}  // namespace

bool RuleApplies(int i, const CRuleRecord& r, RuleContext& ctx, std::string& label) {
  const MessageFacts& m = ctx.message;
  const bool local =
      lists::IsLocalDomain(ctx.config.local_domains, DomainOfAddress(m.envelope_recipient)) == 1;
  bool selected = false;
  label.clear();
  if (r.AllIncoming == 1 && local) selected = true, label = "Incoming Mail";
  if (r.AllOutgoing == 1 && !local) selected = true, label = "Outgoing Mail";
  if (r.AllIncoming == 1 && r.AllOutgoing == 1) selected = true, label = "All Mail";

  if (r.AllFromTo == 1) {
    ctx.log("checking from-to lookup");
    if (Listed(ctx, m.envelope_sender, r.From)) {
      ctx.log("ok FROM");
      if (Listed(ctx, m.envelope_recipient, r.To)) {
        ctx.log("ok TO");
        if (!label.empty()) label += " and ";
        label += "Sender+Recipient match";
        selected = true;
      }
    }
  }
  // The sender exception is tested for every rule, selected or not.
  if (r.EnableSenderExceptionList == 1) {
    ctx.log("checking sender exception list");
    if (Listed(ctx, m.envelope_sender, r.SenderExceptionList)) {
      ctx.log(RulePrefix(i) + " - skipping, sender found in the exception list");
      return false;
    }
  }
  if (!selected) return false;
  if (r.EnableRecipientExceptionList == 1) {
    ctx.log("checking recipient exception list");
    if (Listed(ctx, m.envelope_recipient, r.RecipientExceptionList)) {
      ctx.log(RulePrefix(i) + " - skipping, recipient found in the exception list");
      return false;
    }
  }
  return true;
}

void WalkRules(RuleContext& ctx) {
  const auto& rules = ctx.config.rules;
  for (int i = 0; i < static_cast<int>(rules.size()); ++i) {
    const CRuleRecord& r = rules[static_cast<std::size_t>(i)];
    if (r.Enabled != 1) continue;
    ctx.log("verfying rule " + std::to_string(i));
    std::string label;
    if (!RuleApplies(i, r, ctx, label)) continue;
    ctx.state.rules_applied.push_back(i);
    ctx.log(RulePrefix(i) + " applies - " + label);

    if (r.BlockEverything == 1) {
      ctx.log(RulePrefix(i) + " - actioned always");
      ctx.state.triggered = true;
    } else {
      ctx.state.triggered = RunChecks(i, r, ctx);
    }
    if (ctx.state.triggered) {
      ctx.state.rules_triggered.push_back(i);
      RunTasks(i, r, ctx);
      RunActionCheck(i, r, ctx);
      if (r.Action == kActionQuarantine || r.Action == kActionDelete || ctx.state.rewrite) {
        ctx.log(RulePrefix(i) + " - skipping further checks and executing action directives");
        ctx.state.stopping_rule = i;
        return;
      }
      ctx.log(RulePrefix(i) + " ... will continue checking further");
      ctx.state.triggered = false;
      if (r.Action == kActionOffPeak) {
        ctx.state.defer = true;
        ctx.state.defer_rule = i;
      }
    }
    if (r.Tear == 1) {
      ctx.log(RulePrefix(i) + " - TEAR RULE, no further rules are checked");
      ctx.state.torn = true;
      return;
    }
  }
}

}  // namespace tarnhold
