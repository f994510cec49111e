// The content and transmission checks of one applicable rule, in their fixed order: SPAM,
// virus scan, passive scan, blocked file types, all attachments, size by type, total size,
// file-name length, adult content, MIME type, keywords, encrypted ZIP, IP block list, IP allow
// list. The first check that fires writes its line and makes the rule trigger; the rest of the
// rule's checks are skipped.
#pragma once

#include "sweeper/rule_context.h"

namespace tarnhold {

// True when some check of rule `rule_number` fires for the message of `ctx`.
[[nodiscard]] bool RunChecks(int rule_number, const CRuleRecord& rule, RuleContext& ctx);

// Check 1 alone: true when the message is SPAM for this rule (sets the SPAM and not-SPAM
// flags of `ctx.state` as the test goes).
[[nodiscard]] bool CheckSpam(int rule_number, RuleContext& ctx);

}  // namespace tarnhold
