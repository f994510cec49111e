// The sixteen pages of thadmin's window, built on PageForm. Each page only shows the
// configuration and forwards the operator's actions to the logic in admin/.
#pragma once

#include "admin/settings_tree.h"
#include "apps/thadmin/page_form.h"

namespace tarnhold {

// Builds the page for `page`; the window owns it.
[[nodiscard]] PageForm* BuildPage(PageId page, AdminSession& session);

// Pieces the pages share: a file box's "Browse" (file dialog starting in `start`) and "Edit".
void AddListFileRow(PageForm& form, QLineEdit* edit, bool with_edit_button, QBoxLayout* row);

// The rule pages, the settings pages, and the pages of numbered records; nullptr for a page
// that is not theirs.
[[nodiscard]] PageForm* BuildRulePage(PageId page, AdminSession& session);
[[nodiscard]] PageForm* BuildSettingsPage(PageId page, AdminSession& session);
[[nodiscard]] PageForm* BuildRecordPage(PageId page, AdminSession& session);

}  // namespace tarnhold
