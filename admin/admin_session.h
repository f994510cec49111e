// thadmin's logic without a display: the in-memory configuration, the settings tree, the rule
// list commands, the start-up steps with their step log, and the save with its checks. The
// window only shows what this holds and forwards the operator's actions; every message goes
// through the MessageBoxSeam. Nothing reaches the disk before Ok(), except the two SPAM lists,
// which are written at every change.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/settings_tree.h"
#include "desktop/message_box.h"
#include "desktop/program_launcher.h"
#include "platform/durable_file.h"
#include "gateway/gateway_config.h"
#include "gateway/spam_free_file.h"

namespace tarnhold {

// Where the Dialling page finds the system's dial-up entries and modems.
struct DialUpSources {
  std::filesystem::path peers_folder = "/etc/ppp/peers";
  std::filesystem::path devices_folder = "/dev";
};

// Done: the value or command took effect. Refused: a message said why; nothing changed, and
// the window refills the page so that its controls show the stored state again.
enum class Handled { Done, Refused };

enum class SaveOutcome { Saved, Stayed };

// What the save reads back from the pages besides the configuration.
struct SaveInputs {
  std::string routing_domain_box;  // the Routing Domains page's add box
};

class AdminSession {
 public:
  AdminSession(std::filesystem::path root, MessageBoxSeam& boxes, ProgramLauncher& launcher,
               DialUpSources dial_up = {});

  // The start-up steps in order. Before each, its line goes to logs/loadGUI.log (deleted
  // first); then the session does its part and `gui_step` (when set) is called with the line
  // so the window can do its own.
  void StartUp(const std::function<void(std::string_view line)>& gui_step = {});

  // The tree as it stands; rebuilt by every rule list command.
  [[nodiscard]] const std::vector<TreeItem>& Tree() const { return tree_; }
  // Tree selection: the selection's rule (if any) becomes current; then the SPAM lists and
  // the spam-free stamp are read again. The window refills every page after it.
  void Select(const TreeSelection& selection);
  [[nodiscard]] int CurrentRule() const { return current_rule_; }
  // The current rule, or nullptr when none is current (handlers then do nothing).
  [[nodiscard]] CRuleRecord* Rule();

  // Rule list commands. Each rebuilds the tree and clears the current rule when it changes
  // the list; Refused when a message said why not; Done also when there was nothing to do.
  Handled NewRule();
  Handled DeleteRule(const TreeSelection& selected);
  Handled MoveRuleUp(const TreeSelection& selected);
  Handled MoveRuleDown(const TreeSelection& selected);

  // "OK": the checks in order; the first that fails shows its message and the window stays.
  // Saved: tarnhold.dat and the list files are written, the restart reminder was shown.
  SaveOutcome Ok(const SaveInputs& inputs);
  // "Help": opens <root>/setup.doc with the desktop.
  void Help();

  // The SPAM lists as last read or changed (kept sorted).
  [[nodiscard]] const std::vector<std::string>& Friends() const { return friends_; }
  [[nodiscard]] const std::vector<std::string>& Redirections() const { return redirections_; }
  std::vector<std::string>& MutableFriends() { return friends_; }
  std::vector<std::string>& MutableRedirections() { return redirections_; }
  // Writes aliases.dat, then spamfree.dat under its guard, with their messages.
  void WriteListFiles();
  // Reads both SPAM lists from their files and takes the spam-free stamp.
  void ReadListFiles();

  // The system's dial-up entries and modems, as listed at start.
  [[nodiscard]] const std::vector<std::string>& DialEntries() const { return dial_entries_; }
  [[nodiscard]] const std::vector<std::string>& Modems() const { return modems_; }

  [[nodiscard]] CGatewayConfig& Config() { return config_; }
  [[nodiscard]] const CGatewayConfig& Config() const { return config_; }
  [[nodiscard]] SpoolLayout Layout() const { return config_.Layout(); }
  [[nodiscard]] MessageBoxSeam& Boxes() { return boxes_; }
  [[nodiscard]] ProgramLauncher& Launcher() { return launcher_; }

  // Shows an error box with `text`.
  void Error(std::string_view text);
  void Inform(std::string_view text);
  void Warn(std::string_view text);
  // Refuses a text the gateway would read back otherwise (line breaks, over 254 characters)
  // with a message; Done when it may be stored.
  Handled CheckValue(std::string_view value);

 private:
  void LogStep(std::string_view line) const;
  void LoadConfiguration();
  void RebuildTree();
  // The rule a command acts on: Refused (with "Please select a rule") or Done with `n` set.
  Handled SelectedRule(const TreeSelection& selected, int& n);
  [[nodiscard]] bool RulesPass();
  [[nodiscard]] bool RulePasses(const CRuleRecord& rule,
                                const std::vector<std::string>& keyword_lists);

  CGatewayConfig config_;
  MessageBoxSeam& boxes_;
  ProgramLauncher& launcher_;
  DialUpSources dial_up_;
  std::string loaded_text_;  // tarnhold.dat as loaded: what the save keeps beyond the layout
  FileStamp loaded_stamp_;   // tarnhold.dat as loaded: a change by another window is asked about
  SpamFreeGuard spam_free_;
  std::vector<TreeItem> tree_;
  int current_rule_ = -1;
  std::vector<std::string> friends_;
  std::vector<std::string> redirections_;
  bool friends_whole_ = true;  // false: spamfree.dat was read only in part; never written
  bool redirections_whole_ = true;
  std::vector<std::string> dial_entries_;
  std::vector<std::string> modems_;
};

// A new rule as "New" appends it.
[[nodiscard]] CRuleRecord NewRuleRecord();
// True when `text` holds any of the comma-separated `keywords` as a substring, letter case
// ignored; blanks next to a comma belong to the keyword, empty keywords match nothing.
[[nodiscard]] bool ContainsKeyword(std::string_view text, std::string_view keywords);
// A quarantine area is one folder name under quaran/: not empty, not "." or "..", and without
// "/", "\\" or NUL, so that no area reaches outside it.
[[nodiscard]] bool IsQuarantineAreaName(std::string_view name);
// Sorts a list box's entries as the list box does: without regard to case.
void SortLikeListBox(std::vector<std::string>& entries);

}  // namespace tarnhold
