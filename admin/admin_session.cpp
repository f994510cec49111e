#include "admin/admin_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

#include "admin/admin_texts.h"
#include "admin/config_writer.h"
#include "admin/dial_up_lists.h"
#include "gateway/list_file.h"
#include "platform/text_case.h"
#include "platform/unique_fd.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

namespace text = admin_text;

// The start-up steps, each line written to loadGUI.log before its step runs.
enum class Step { None, SettingsItems, LoadConfiguration, ListStamps, Rules, Modems };
struct StartStep {
  std::string_view line;
  Step step;
};
constexpr StartStep kStartSteps[] = {
    {"started", Step::None},
    {"allocating new image list", Step::None},
    {"loading tree icon resources", Step::None},
    {"setting image list", Step::None},
    {"creating property pages", Step::None},
    {"repsitioning", Step::None},
    {"building settings tree", Step::SettingsItems},
    {"loading EGsetup", Step::LoadConfiguration},
    {"updating list time stamps", Step::ListStamps},
    {"displaying rules", Step::Rules},
    {"creating new ras client", Step::None},
    {"listing modems", Step::Modems},
    {"showing window", Step::None},
    {"all done", Step::None},
};

// The sample address of the POP3 check: the postmaster of the first local domain.
std::string SampleAddress(const CGatewayConfig& config) {
  return "postmaster@" +
         (config.local_domains.empty() ? std::string("example.com") : config.local_domains[0]);
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ListFileExists(const CGatewayConfig& config, std::string_view value) {
  std::error_code ec;
  return !value.empty() && fs::is_regular_file(config.MapPath(value), ec);
}

}  // namespace

CRuleRecord NewRuleRecord() {
  CRuleRecord rule;
  rule.ArchivePath = "c:\\tarnhold\\archive";
  rule.Comment = std::string(text::kNewRuleComment);
  rule.CompressionTreshold = 30;
  rule.MaxAnyFileNameLength = 100;
  return rule;
}

bool ContainsKeyword(std::string_view text, std::string_view keywords) {
  std::string folded = ToLower(text);
  while (true) {
    std::size_t comma = keywords.find(',');
    std::string_view keyword = keywords.substr(0, comma);
    // An empty keyword (",," or a trailing comma) is no word at all; it would block every text.
    if (!keyword.empty() && folded.find(ToLower(keyword)) != std::string::npos) return true;
    if (comma == std::string_view::npos) return false;
    keywords.remove_prefix(comma + 1);
  }
}

bool IsQuarantineAreaName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

void SortLikeListBox(std::vector<std::string>& entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
    return ToLower(a) < ToLower(b);
  });
}

AdminSession::AdminSession(fs::path root, MessageBoxSeam& boxes, ProgramLauncher& launcher,
                           DialUpSources dial_up)
    : config_(std::move(root)),
      boxes_(boxes),
      launcher_(launcher),
      dial_up_(std::move(dial_up)),
      spam_free_(config_.Layout().SpamFreeFile()) {}

void AdminSession::LogStep(std::string_view line) const {
  // The step log shows how far a start got; failures to write it are ignored.
  UniqueFd fd(
      ::open(Layout().AdminLoadLog().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd) return;
  std::string out(line);
  out += '\n';
  (void)!::write(fd.Get(), out.data(), out.size());
}

void AdminSession::StartUp(const std::function<void(std::string_view line)>& gui_step) {
  std::error_code ec;
  fs::create_directories(Layout().Logs(), ec);
  fs::remove(Layout().AdminLoadLog(), ec);
  for (const StartStep& s : kStartSteps) {
    LogStep(s.line);
    switch (s.step) {
      case Step::None:
        break;
      case Step::SettingsItems:
        tree_ = SettingsItems();
        break;
      case Step::LoadConfiguration:
        LoadConfiguration();
        break;
      case Step::ListStamps:
        ReadListFiles();
        current_rule_ = -1;
        break;
      case Step::Rules:
        RebuildTree();
        break;
      case Step::Modems:
        dial_entries_ = ListDialEntries(dial_up_.peers_folder);
        modems_ = ListModems(dial_up_.devices_folder);
        break;
    }
    if (gui_step) gui_step(s.line);
  }
}

void AdminSession::LoadConfiguration() {
  // The stamp is taken before the read: a change while reading is then a change at save.
  loaded_stamp_ = StampOf(config_.ConfigPath());
  (void)config_.Load();
  loaded_text_ = ReadWhole(config_.ConfigPath());
}

// A list read only in part (too long, or there but unreadable) must never be written back: its
// other entries would be lost.
static bool ReadWholeList(const fs::path& path, std::vector<std::string>& entries) {
  switch (ReadListFile(path, entries)) {
    case ListFileResult::Read:
      return true;
    case ListFileResult::Truncated:
      return false;
    case ListFileResult::Unreadable: {
      std::error_code ec;
      return !fs::exists(path, ec) && !ec;
    }
  }
  return false;
}

void AdminSession::ReadListFiles() {
  spam_free_.TakeStamp();
  friends_whole_ = ReadWholeList(Layout().SpamFreeFile(), friends_);
  redirections_whole_ = ReadWholeList(Layout().AliasesFile(), redirections_);
  SortLikeListBox(friends_);
  SortLikeListBox(redirections_);
}

void AdminSession::RebuildTree() {
  tree_ = BuildSettingsTree(config_);
  current_rule_ = -1;
}

void AdminSession::Select(const TreeSelection& selection) {
  if (std::optional<int> n = RuleOfSelection(selection)) current_rule_ = *n;
  ReadListFiles();
}

CRuleRecord* AdminSession::Rule() {
  if (current_rule_ < 0 || current_rule_ >= static_cast<int>(config_.rules.size())) return nullptr;
  return &config_.rules[static_cast<std::size_t>(current_rule_)];
}

void AdminSession::Error(std::string_view t) {
  boxes_.Error(std::string(text::kBoxTitle), std::string(t));
}
void AdminSession::Inform(std::string_view t) {
  boxes_.Inform(std::string(text::kBoxTitle), std::string(t));
}
void AdminSession::Warn(std::string_view t) {
  (void)boxes_.Show(
      BoxRequest{std::string(text::kBoxTitle), std::string(t), BoxIcon::Warning, BoxButtons::Ok});
}

Handled AdminSession::CheckValue(std::string_view value) {
  if (value.find_first_of("\r\n") != std::string_view::npos) {
    Error(text::kValueHasLineBreak);
    return Handled::Refused;
  }
  if (value.size() > kMaxConfigValueLength) {
    Error(text::kValueTooLong);
    return Handled::Refused;
  }
  return Handled::Done;
}

Handled AdminSession::NewRule() {
  config_.rules.push_back(NewRuleRecord());
  RebuildTree();
  return Handled::Done;
}

Handled AdminSession::SelectedRule(const TreeSelection& selected, int& n) {
  std::optional<int> rule = RuleOfSelection(selected);
  if (!rule || *rule >= static_cast<int>(config_.rules.size())) {
    Error(text::kSelectRule);
    return Handled::Refused;
  }
  n = *rule;
  return Handled::Done;
}

Handled AdminSession::DeleteRule(const TreeSelection& selected) {
  if (config_.rules.size() == 1) {
    Error(text::kAtLeastOneRule);
    return Handled::Refused;
  }
  if (selected.text.empty()) return Handled::Done;
  int n = 0;
  if (SelectedRule(selected, n) == Handled::Refused) return Handled::Refused;
  config_.rules.erase(config_.rules.begin() + n);
  RebuildTree();
  return Handled::Done;
}

Handled AdminSession::MoveRuleUp(const TreeSelection& selected) {
  if (selected.text.empty()) return Handled::Done;
  int n = 0;
  if (SelectedRule(selected, n) == Handled::Refused) return Handled::Refused;
  if (n == 0) return Handled::Done;
  std::swap(config_.rules[static_cast<std::size_t>(n)],
            config_.rules[static_cast<std::size_t>(n - 1)]);
  RebuildTree();
  return Handled::Done;
}

Handled AdminSession::MoveRuleDown(const TreeSelection& selected) {
  if (selected.text.empty()) return Handled::Done;
  int n = 0;
  if (SelectedRule(selected, n) == Handled::Refused) return Handled::Refused;
  if (n + 1 >= static_cast<int>(config_.rules.size())) return Handled::Done;
  std::swap(config_.rules[static_cast<std::size_t>(n)],
            config_.rules[static_cast<std::size_t>(n + 1)]);
  RebuildTree();
  return Handled::Done;
}

bool AdminSession::RulePasses(const CRuleRecord& rule,
                              const std::vector<std::string>& keyword_lists) {
  const std::string quoted = std::string(text::kRulePrefix) + rule.Comment;
  if (rule.AllFromTo == 1) {
    if (!ListFileExists(config_, rule.From)) {
      Error(quoted + std::string(text::kFromMissing));
      return false;
    }
    if (!ListFileExists(config_, rule.To)) {
      Error(quoted + std::string(text::kToMissing));
      return false;
    }
  }
  if ((rule.EnableSenderExceptionList == 1 && !ListFileExists(config_, rule.SenderExceptionList)) ||
      (rule.EnableRecipientExceptionList == 1 &&
       !ListFileExists(config_, rule.RecipientExceptionList))) {
    Error(quoted + std::string(text::kExceptionMissing));
    return false;
  }
  if (!config_.AdultKeywords.empty() && ContainsKeyword(rule.Comment, config_.AdultKeywords)) {
    Error(quoted + std::string(text::kAdultInDescription));
    return false;
  }
  for (const std::string& keywords : keyword_lists) {
    if (ContainsKeyword(rule.Comment, keywords)) {
      Error(std::string(text::kKeywordInDescription) + rule.Comment +
            std::string(text::kCannotContainWords) + keywords);
      return false;
    }
  }
  if (!rule.QuarantineArea.empty()) {
    std::error_code ec;
    if (!IsQuarantineAreaName(rule.QuarantineArea) ||
        !fs::is_directory(Layout().Quarantine(rule.QuarantineArea), ec)) {
      Error(quoted + std::string(text::kInvalidArea));
      return false;
    }
  }
  return true;
}

bool AdminSession::RulesPass() {
  // Every rule's description is tested against every rule's keywords; rules share keyword
  // lists often, and a list tested once per description is enough (the first in rule order
  // is the one the message names).
  std::vector<std::string> keyword_lists;
  for (const CRuleRecord& rule : config_.rules) {
    if (!rule.BlockKeywords.empty() && std::find(keyword_lists.begin(), keyword_lists.end(),
                                                 rule.BlockKeywords) == keyword_lists.end())
      keyword_lists.push_back(rule.BlockKeywords);
  }
  return std::all_of(config_.rules.begin(), config_.rules.end(),
                     [&](const CRuleRecord& rule) { return RulePasses(rule, keyword_lists); });
}

SaveOutcome AdminSession::Ok(const SaveInputs& inputs) {
  for (const CPopAccountRecord& pop : config_.pop_accounts) {
    if (pop.DefaultAddress.empty()) {
      Error(std::string(text::kPopNeedsDefault) + SampleAddress(config_));
      return SaveOutcome::Stayed;
    }
  }
  if (!inputs.routing_domain_box.empty()) {
    Error(text::kRoutingBoxNotAdded);
    return SaveOutcome::Stayed;
  }
  if (!RulesPass()) return SaveOutcome::Stayed;
  for (const CScannerRecord& scanner : config_.scanners) {
    std::error_code ec;
    if (scanner.Enabled == 1 && !fs::exists(config_.MapPath(scanner.ExePath), ec)) {
      Warn(std::string(text::kScannerWarningStart) + scanner.Title +
           std::string(text::kScannerWarningEnd));
    }
  }
  // Another window (or a hand edit) saved since this one loaded: its work would be lost unseen.
  if (StampOf(config_.ConfigPath()) != loaded_stamp_ &&
      !boxes_.AskYesNo(std::string(text::kBoxTitle), std::string(text::kConfigChangedElsewhere)))
    return SaveOutcome::Stayed;
  std::string error;
  std::string written;
  if (WriteConfiguration(config_, loaded_text_, written, error) != WriteResult::Written) {
    Error(std::string(text::kConfigNotWritten) + error);
    return SaveOutcome::Stayed;
  }
  loaded_stamp_ = StampOf(config_.ConfigPath());
  loaded_text_ = std::move(written);
  WriteListFiles();
  Inform(text::kRestart);
  return SaveOutcome::Saved;
}

void AdminSession::WriteListFiles() {
  std::string error;
  if (!redirections_whole_) {
    Error(std::string(text::kListReadInPart) + Layout().AliasesFile().string());
  } else if (WriteDurably(Layout().AliasesFile(), ListFileText(redirections_), error) !=
             WriteResult::Written) {
    Error(text::kAliasesNotOpened);
  }
  if (!friends_whole_) {
    Error(std::string(text::kListReadInPart) + Layout().SpamFreeFile().string());
    return;
  }
  switch (spam_free_.Write(friends_, error)) {
    case GuardedWrite::Written:
      break;
    case GuardedWrite::Changed:
      Error(text::kSpamFreeChanged);
      // Taking a new stamp over the old list would let the next write drop what the other
      // program added; the list is read again instead, additions included.
      ReadListFiles();
      break;
    case GuardedWrite::Failed:
      Error(text::kSpamFreeNotOpened);
      break;
  }
}

void AdminSession::Help() {
  fs::path document = Layout().HelpDocument();
  std::string error;
  if (OpenWithDesktop(launcher_, document, error) != LaunchResult::Started)
    Error(std::string(text::kHelpFailed) + document.string() + std::string(text::kHelpFailedEnd));
}

}  // namespace tarnhold
