// Check 2 of the rule checks: the administrator's command-line virus scanners, run one after
// another over the message's saved attachments. The first scanner that finds a threat (or
// that could not scan) makes the rule trigger, alerts the administrator with its report and,
// when it cleans, resends a reassembled copy. The received item then follows the rule's action.
#pragma once

#include <chrono>

#include "sweeper/rule_context.h"

namespace tarnhold {

// The virus check of rule `rule_number`: true when a threat was found, or when a scanner could
// not give a verdict (no report within the time limit, none at all, or one that cannot be
// read). False when every enabled scanner reported clean, when there is nothing to scan, and
// after a file error, which ends the scanners of this rule.
[[nodiscard]] bool CheckForViruses(int rule_number, const CRuleRecord& rule, RuleContext& ctx);

// The time limit of one scanner run under `config`.
[[nodiscard]] std::chrono::milliseconds VirusScanTimeLimit(const CGatewayConfig& config);

}  // namespace tarnhold
