// thadmin's settings tree as data: the nine settings items, then one item per rule ("Rule n -
// comment") with its five children. The window shows it; selecting an item names the rule whose
// pages are shown through the item's text, as the operator reads it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/gateway_config.h"

namespace tarnhold {

// The pages, one per kind of tree item; Front is shown when the window opens.
enum class PageId {
  Front,
  General,
  Routing,
  Clustering,
  Pop3,
  Pop3Users,
  Virus,
  Spam,
  Ras,
  Logs,
  Range,
  Content,
  Size,
  Transmission,
  Processing,
  Actions,
};
inline constexpr int kPageCount = 16;

// Each item's icon in the tree's image list; one icon per kind of item.
enum class TreeIcon {
  General,
  Routing,
  Clustering,
  Pop3,
  Pop3Users,
  Virus,
  Spam,
  Ras,
  Logs,
  Rule,
  Content,
  Size,
  Transmission,
  Tasks,
  Action,
};

struct TreeItem {
  std::string text;
  PageId page = PageId::Front;
  TreeIcon icon = TreeIcon::General;
  std::vector<TreeItem> children;
};

// The selected item as the window knows it: its text and its parent's ("" at the top; an
// empty `text` means nothing is selected).
struct TreeSelection {
  std::string text;
  std::string parent_text;
};

// The nine settings items, in their order.
[[nodiscard]] std::vector<TreeItem> SettingsItems();
// The settings items, then one item per rule with its children.
[[nodiscard]] std::vector<TreeItem> BuildSettingsTree(const CGatewayConfig& config);
// "Rule " + n + " - " + comment.
[[nodiscard]] std::string RuleItemText(int n, std::string_view comment);
// The rule a selection stands for: the number after "Rule " in the item's text, or in its
// parent's when it has one; nullopt when that text does not begin with "Rule".
[[nodiscard]] std::optional<int> RuleOfSelection(const TreeSelection& selection);

}  // namespace tarnhold
