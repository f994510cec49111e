// The walk over the rules for one message: each enabled rule in order is selected by
// direction and the from-to lookup, skipped by its exception lists, triggered by "actioned
// always" or its checks, and a triggered rule runs its tasks and its action check. The first
// triggered rule whose action has something to do stops the walk; a TEAR rule that applied
// stops it too, deciding nothing.
#pragma once

#include "sweeper/rule_context.h"

namespace tarnhold {

// Walks the rules of `ctx.config` over `ctx.message`; on return `ctx.state.stopping_rule`
// names the deciding rule or is -1.
void WalkRules(RuleContext& ctx);

// Whether rule `rule_number` applies to the message (direction or lookup lists, and neither
// exception list), with the walk's lines. `label` receives the selection label.
[[nodiscard]] bool RuleApplies(int rule_number, const CRuleRecord& rule, RuleContext& ctx,
                               std::string& label);

}  // namespace tarnhold
