#include "admin/rule_pages.h"

#include <algorithm>
#include <system_error>

#include "admin/admin_texts.h"
#include "platform/data_root.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

namespace text = admin_text;

// A bound on what a folder full of files can put into a combo box.
constexpr std::size_t kMaxListed = 5000;

std::vector<std::string> NamesIn(const fs::path& folder, bool folders) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (names.size() >= kMaxListed) break;
    std::error_code type_ec;
    bool wanted = folders ? it->is_directory(type_ec) : it->is_regular_file(type_ec);
    if (wanted) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool HoldsAnyFile(const fs::path& folder) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_directory(type_ec)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> ListQuarantineAreas(const SpoolLayout& layout) {
  return NamesIn(layout.QuarantineRoot(), true);
}

std::vector<std::string> ListTextFiles(const SpoolLayout& layout) {
  return NamesIn(layout.Texts(), false);
}

RulePagesView RefillRulePages(AdminSession& session) {
  RulePagesView view;
  view.text_files = ListTextFiles(session.Layout());
  view.areas = ListQuarantineAreas(session.Layout());
  const CRuleRecord* rule = session.Rule();
  if (!rule) return view;
  view.has_rule = true;
  view.rule = *rule;
  if (rule->Action == kActionQuarantine &&
      std::find(view.areas.begin(), view.areas.end(), rule->QuarantineArea) == view.areas.end()) {
    session.Error(std::string(text::kCriticalAreaStart) + rule->QuarantineArea +
                  std::string(text::kCriticalAreaEnd));
  }
  return view;
}

Handled SetRuleFlag(AdminSession& session, int CRuleRecord::*field, bool on) {
  CRuleRecord* rule = session.Rule();
  if (!rule) return Handled::Done;
  bool direction = field == &CRuleRecord::AllIncoming || field == &CRuleRecord::AllOutgoing;
  if (on && direction && rule->AllFromTo == 1) {
    session.Error(text::kDirectionRefused);
    return Handled::Refused;
  }
  if (on && field == &CRuleRecord::AllFromTo &&
      (rule->AllIncoming == 1 || rule->AllOutgoing == 1)) {
    session.Error(text::kLookupRefused);
    return Handled::Refused;
  }
  rule->*field = on ? 1 : 0;
  return Handled::Done;
}

Handled SetRuleNumber(AdminSession& session, int CRuleRecord::*field, int value) {
  if (CRuleRecord* rule = session.Rule()) rule->*field = value;
  return Handled::Done;
}

Handled SetRuleText(AdminSession& session, std::string CRuleRecord::*field,
                    std::string_view value) {
  CRuleRecord* rule = session.Rule();
  if (!rule) return Handled::Done;
  if (session.CheckValue(value) == Handled::Refused) return Handled::Refused;
  rule->*field = std::string(value);
  return Handled::Done;
}

Handled SetRuleAction(AdminSession& session, int action) {
  if (CRuleRecord* rule = session.Rule()) rule->Action = action;
  return Handled::Done;
}

Handled NewQuarantineArea(AdminSession& session, std::string_view name) {
  CRuleRecord* rule = session.Rule();
  if (!rule) return Handled::Done;
  if (name.find(' ') != std::string_view::npos) {
    session.Error(text::kAreaSpaces);
    return Handled::Refused;
  }
  if (!IsQuarantineAreaName(name) || session.CheckValue(name) == Handled::Refused) {
    if (!IsQuarantineAreaName(name)) session.Error(text::kAreaNotAName);
    return Handled::Refused;
  }
  fs::path folder = session.Layout().Quarantine(name);
  std::error_code ec;
  if (fs::exists(folder, ec)) {
    session.Error(std::string(text::kAreaExistsStart) + std::string(name) +
                  std::string(text::kAreaExistsEnd));
    return Handled::Refused;
  }
  if (!fs::create_directory(folder, ec) || ec) {
    session.Error(text::kAreaCreateFailed);
    return Handled::Refused;
  }
  rule->QuarantineArea = std::string(name);
  return Handled::Done;
}

Handled DeleteQuarantineArea(AdminSession& session, std::string_view name) {
  CRuleRecord* rule = session.Rule();
  if (!rule) return Handled::Done;
  std::error_code ec;
  fs::path folder = session.Layout().Quarantine(name);
  if (!IsQuarantineAreaName(name) || !fs::is_directory(folder, ec)) {
    session.Error(text::kAreaRemoveFailed);
    return Handled::Refused;
  }
  if (HoldsAnyFile(folder)) {
    session.Error(text::kAreaNotEmpty);
    return Handled::Refused;
  }
  fs::remove_all(folder, ec);
  if (ec) {
    session.Error(text::kAreaRemoveFailed);
    return Handled::Refused;
  }
  rule->QuarantineArea.clear();
  session.Inform(text::kAreaRemoved);
  return Handled::Done;
}

Handled EditTextFile(AdminSession& session, std::string_view name) {
  if (name.empty()) {
    session.Error(text::kSelectFile);
    return Handled::Refused;
  }
  fs::path path = session.Layout().Texts() / std::string(LastPathElement(name));
  std::string error;
  if (OpenWithDesktop(session.Launcher(), path, error) != LaunchResult::Started) {
    session.Error(std::string(text::kNoApplicationOpen) + path.string() +
                  std::string(text::kInAnyWordprocessor));
    return Handled::Refused;
  }
  return Handled::Done;
}

Handled ViewListsFolder(AdminSession& session) {
  std::string error;
  if (OpenWithDesktop(session.Launcher(), session.Layout().Lists(), error) !=
      LaunchResult::Started) {
    session.Error(text::kCannotViewLists);
    return Handled::Refused;
  }
  return Handled::Done;
}

}  // namespace tarnhold
