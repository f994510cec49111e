// What a triggered rule does before the walk goes on: its tasks (archive mark, disclaimer
// requests, reply, notices, forwarded copy) and its action check, which decides whether the
// rule's action has anything to do (the rewrite flag) and so whether the walk stops.
#pragma once

#include "sweeper/rule_context.h"

namespace tarnhold {

// Items this large or larger get no disclaimer.
inline constexpr std::int64_t kMaxDisclaimerItemSize = 500000;

void RunTasks(int rule_number, const CRuleRecord& rule, RuleContext& ctx);
void RunActionCheck(int rule_number, const CRuleRecord& rule, RuleContext& ctx);

}  // namespace tarnhold
