#include "admin/settings_tree.h"

#include <charconv>

namespace tarnhold {

std::vector<TreeItem> SettingsItems() {
  return {
      {"General Settings", PageId::General, TreeIcon::General, {}},
      {"Routing Domains", PageId::Routing, TreeIcon::Routing, {}},
      {"Load Distribution", PageId::Clustering, TreeIcon::Clustering, {}},
      {"POP3 Download", PageId::Pop3, TreeIcon::Pop3, {}},
      {"Local POP3 Users", PageId::Pop3Users, TreeIcon::Pop3Users, {}},
      {"Interactive Virus Scan", PageId::Virus, TreeIcon::Virus, {}},
      {"SPAM Protection", PageId::Spam, TreeIcon::Spam, {}},
      {"Dialling", PageId::Ras, TreeIcon::Ras, {}},
      {"Logs", PageId::Logs, TreeIcon::Logs, {}},
  };
}

std::string RuleItemText(int n, std::string_view comment) {
  return "Rule " + std::to_string(n) + " - " + std::string(comment);
}

std::vector<TreeItem> BuildSettingsTree(const CGatewayConfig& config) {
  std::vector<TreeItem> items = SettingsItems();
  items.reserve(items.size() + config.rules.size());
  for (std::size_t n = 0; n < config.rules.size(); ++n) {
    items.push_back(
        TreeItem{RuleItemText(static_cast<int>(n), config.rules[n].Comment),
                 PageId::Range,
                 TreeIcon::Rule,
                 {
                     {"Content Security", PageId::Content, TreeIcon::Content, {}},
                     {"Attachment Restrictions", PageId::Size, TreeIcon::Size, {}},
                     {"Transmission Security", PageId::Transmission, TreeIcon::Transmission, {}},
                     {"Tasks", PageId::Processing, TreeIcon::Tasks, {}},
                     {"Final Action", PageId::Actions, TreeIcon::Action, {}},
                 }});
  }
  return items;
}

std::optional<int> RuleOfSelection(const TreeSelection& selection) {
  std::string_view text = selection.parent_text.empty() ? selection.text : selection.parent_text;
  if (!text.starts_with("Rule")) return std::nullopt;
  std::size_t start = text.find(' ');
  if (start == std::string_view::npos) return std::nullopt;
  std::string_view number = text.substr(start + 1);
  number = number.substr(0, number.find(' '));
  int n = -1;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
  if (ec != std::errc() || end != number.data() + number.size() || n < 0) return std::nullopt;
  return n;
}

}  // namespace tarnhold
