// The six rule pages' logic: what a refill shows, and one handler per kind of control. A
// handler stores its value into the current rule at once; with no current rule it does
// nothing. Also the folders the rule pages manage: the list folder, the text folder and the
// quarantine areas (one folder each under quaran/).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "admin/admin_session.h"

namespace tarnhold {

// What the six pages show after a refill.
struct RulePagesView {
  bool has_rule = false;
  CRuleRecord rule;                     // a copy of the current rule
  std::vector<std::string> text_files;  // files of text/, for the four text combos
  std::vector<std::string> areas;       // folders of quaran/, for the area combo
};

// Refills from the current rule; shows the "CRITICAL ERROR" message when the rule quarantines
// into an area that does not exist.
[[nodiscard]] RulePagesView RefillRulePages(AdminSession& session);

// Check boxes: 1 or 0 into `field`. "Incoming"/"Outgoing" are refused while the dynamic
// lookup is on, the lookup while either direction is on.
Handled SetRuleFlag(AdminSession& session, int CRuleRecord::*field, bool on);
// Number boxes (sizes, lengths, the compression percentage).
Handled SetRuleNumber(AdminSession& session, int CRuleRecord::*field, int value);
// Edit boxes and combo selections; a value the gateway would misread is refused.
Handled SetRuleText(AdminSession& session, std::string CRuleRecord::*field, std::string_view value);
// The final action's radio buttons.
Handled SetRuleAction(AdminSession& session, int action);

// Quarantine areas: "New" creates quaran/<name> and makes it the rule's area; "Delete"
// removes an empty area and clears the rule's area.
Handled NewQuarantineArea(AdminSession& session, std::string_view name);
Handled DeleteQuarantineArea(AdminSession& session, std::string_view name);
// "Edit" beside a text combo: opens text/<name> in the desktop's editor.
Handled EditTextFile(AdminSession& session, std::string_view name);
// "View Lists": opens the list folder in the file manager.
Handled ViewListsFolder(AdminSession& session);

// The names of the folders under quaran/, sorted.
[[nodiscard]] std::vector<std::string> ListQuarantineAreas(const SpoolLayout& layout);
// The names of the files of text/, sorted.
[[nodiscard]] std::vector<std::string> ListTextFiles(const SpoolLayout& layout);

}  // namespace tarnhold
