#include "engine/config_check.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "gateway/address_lists.h"
#include "gateway/gateway_config.h"
#include "gateway/list_file.h"
#include "gateway/registry_settings.h"
#include "platform/bounded_read.h"
#include "platform/data_root.h"
#include "platform/profile_file.h"
#include "transport/routing_table.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr const char* kConfigName = "tarnhold.dat";
constexpr const char* kRegistryName = "registry.dat";
constexpr std::string_view kDefaults = "Defaults";

// Collects the problems of one run; the configuration is read once and shared by every check.
struct Checker {
  const CGatewayConfig& config;
  const ProfileFile& profile;
  unsigned pop3_port;
  std::vector<ConfigProblem> problems;

  void Add(std::string section, std::string key, std::string value, std::string text) {
    problems.push_back(
        {kConfigName, std::move(section), std::move(key), std::move(value), std::move(text)});
  }
  void AddDefault(std::string key, std::string value, std::string text) {
    Add(std::string(kDefaults), std::move(key), std::move(value), std::move(text));
  }
};

bool IsFlag(int value) { return value == 1; }

// What a list file holds, for the checks that care whether it is empty.
enum class ListState { Entries, Empty, Unreadable };

// A rule's address or IP list: entries that are not blank count.
ListState RuleListState(const fs::path& root, const std::string& value) {
  std::vector<std::string> entries;
  if (value.empty() || lists::ReadListFile(MapConfigPath(root, value), entries) != 1)
    return ListState::Unreadable;
  bool any =
      std::any_of(entries.begin(), entries.end(), [](const std::string& e) { return !e.empty(); });
  return any ? ListState::Entries : ListState::Empty;
}

// A [Defaults] list file (DNS servers, cluster hosts), read as the configuration load reads it.
ListState PlainListState(const fs::path& path) {
  std::vector<std::string> entries;
  if (ReadListFile(path, entries) == ListFileResult::Unreadable) return ListState::Unreadable;
  return entries.empty() ? ListState::Empty : ListState::Entries;
}

bool IsLoopbackName(std::string_view host) {
  return host.starts_with("127.") || host == "localhost" || host == "::1";
}

void CheckListSetting(Checker& c, const std::string& key, const std::string& value,
                      const char* what) {
  switch (PlainListState(c.config.MapPath(value))) {
    case ListState::Entries:
      return;
    case ListState::Empty:
      c.AddDefault(key, value, std::string("the ") + what + " is empty");
      return;
    case ListState::Unreadable:
      c.AddDefault(key, value, std::string("the ") + what + " cannot be read");
      return;
  }
}

void CheckRoutingTable(Checker& c) {
  const std::string& value = c.config.SMTPRoutingFileName;
  if (value.empty()) return;
  std::string table;
  if (ReadFileBounded(c.config.MapPath(value), kMaxRoutingTableBytes, table) != BoundedRead::Read) {
    c.AddDefault("SMTPRoutingFileName", value,
                 "the routing table cannot be read (or is too large); default routing applies");
    return;
  }
  for (const std::string& line : UnusableRouteLines(table)) {
    c.AddDefault("SMTPRoutingFileName", value,
                 "line \"" + line +
                     "\" is not pattern,host,port ending in a line feed; no line after it is used");
  }
}

// The receiver's port against the POP3 server's and against the gateways mail is sent to: a
// delivery to the receiver's own port would loop every message back into the gateway.
void CheckPorts(Checker& c) {
  const CGatewayConfig& g = c.config;
  const std::string smtp = std::to_string(g.SMTPInPort);
  if (g.SMTPInPort == 0) c.AddDefault("SMTPInPort", smtp, "not a port from 1 to 65535");
  if (IsFlag(g.EnablePOP3Server) && g.SMTPInPort == c.pop3_port)
    c.AddDefault("SMTPInPort", smtp, "the POP3 server listens on the same port");
  struct Gateway {
    const char* port_key;
    std::uint16_t port;
    const std::string& address;
    int type;
  };
  for (const Gateway& gw :
       {Gateway{"InboundPort", g.InboundPort, g.InboundGatewayAddress, g.InboundGatewayType},
        Gateway{"OutboundPort", g.OutboundPort, g.OutboundGatewayAddress, g.OutboundGatewayType}}) {
    if (gw.type == 0 && gw.port == g.SMTPInPort && IsLoopbackName(gw.address)) {
      c.AddDefault(gw.port_key, std::to_string(gw.port),
                   "mail sent to " + gw.address +
                       " on this port comes back to the gateway's own "
                       "receiver (SMTPInPort)");
    }
  }
}

void CheckDefaults(Checker& c) {
  const CGatewayConfig& g = c.config;
  if (IsFlag(g.OutboundGatewayType))
    CheckListSetting(c, "DNSLookupFileName", g.DNSLookupFileName, "DNS server list");
  if (IsFlag(g.EnableClustering))
    CheckListSetting(c, "ClusterFileName", g.ClusterFileName, "cluster list");
  CheckRoutingTable(c);
  if (IsFlag(g.EnablePOP3Server) && g.local_domains.empty())
    c.AddDefault("EnablePOP3Server", "1", "no LocalDomain0: no mail is ever local to a mailbox");
  if (IsFlag(g.EnablePOP3Download) && g.pop_accounts.empty())
    c.AddDefault("EnablePOP3Download", "1", "no [POP0] account to collect from");
  CheckPorts(c);
  if (c.profile.GetInt(kDefaults, "AllowRelay", 0) == 1)
    c.AddDefault("AllowRelay", "1",
                 "the relay guard is off: anyone may send mail through the gateway to anywhere");
}

// Whether any check that can trigger the rule is switched on.
bool HasCheck(const CRuleRecord& r) {
  const bool size_by_type =
      !r.SizeLimitExtList.empty() &&
      (IsFlag(r.EnableMaxSizeExtList) || IsFlag(r.EnableMaxSizeExtListCompressed));
  return IsFlag(r.StopSPAM) || IsFlag(r.VirusScan) || IsFlag(r.PassiveVirusScan) ||
         !r.BlockFileTypes.empty() || IsFlag(r.BlockAllAttachments) || size_by_type ||
         IsFlag(r.EnableMaxSizeAnyTotal) || IsFlag(r.EnableCheckAnyFileNameLength) ||
         IsFlag(r.BlockAdult) || IsFlag(r.BlockMIMEContentType) || !r.BlockKeywords.empty() ||
         IsFlag(r.BlockPasswordZIPs) || IsFlag(r.BlockIPInList) || IsFlag(r.BlockIPNotInList);
}

// The folders every start of the engine makes (quaran/junk, ...): never missing for long.
bool IsStandardFolder(const CGatewayConfig& config, const fs::path& folder) {
  const fs::path relative = folder.lexically_relative(config.Root());
  return std::any_of(SpoolLayout::kFolders.begin(), SpoolLayout::kFolders.end(),
                     [&](std::string_view f) { return relative == fs::path(f); });
}

// A rule that takes every message for good: later rules are never reached.
bool TakesEverything(const CRuleRecord& r) {
  return IsFlag(r.AllIncoming) && IsFlag(r.AllOutgoing) && IsFlag(r.BlockEverything) &&
         (r.Action == kActionQuarantine || r.Action == kActionDelete) &&
         !IsFlag(r.EnableSenderExceptionList) && !IsFlag(r.EnableRecipientExceptionList);
}

struct RuleList {
  const char* key;
  const std::string& value;
  const char* when_empty;  // nullptr: an empty list is harmless
};

void CheckRuleLists(Checker& c, const std::string& section, const CRuleRecord& r) {
  std::vector<RuleList> named;
  if (IsFlag(r.AllFromTo)) {
    named.push_back({"From", r.From, "the list is empty: the from-to lookup never selects"});
    named.push_back({"To", r.To, "the list is empty: the from-to lookup never selects"});
  }
  if (IsFlag(r.EnableSenderExceptionList))
    named.push_back({"SenderExceptionList", r.SenderExceptionList, nullptr});
  if (IsFlag(r.EnableRecipientExceptionList))
    named.push_back({"RecipientExceptionList", r.RecipientExceptionList, nullptr});
  if (IsFlag(r.BlockIPInList))
    named.push_back({"IPInList", r.IPInList, "the list is empty: the IP check never triggers"});
  if (IsFlag(r.BlockIPNotInList))
    named.push_back({"IPNotInList", r.IPNotInList, "the list is empty: every message triggers"});
  for (const RuleList& l : named) {
    switch (RuleListState(c.config.Root(), l.value)) {
      case ListState::Entries:
        break;
      case ListState::Empty:
        if (l.when_empty != nullptr) c.Add(section, l.key, l.value, l.when_empty);
        break;
      case ListState::Unreadable:
        c.Add(section, l.key, l.value,
              std::string("the list cannot be read; it matches nothing") +
                  (std::string_view(l.key) == "IPNotInList" ? ": every message triggers" : ""));
        break;
    }
  }
}

void CheckRuleTexts(Checker& c, const std::string& section, const CRuleRecord& r) {
  struct Text {
    int flag;
    const char* key;
    const std::string& name;
  };
  for (const Text& t :
       {Text{r.ReplyOnAction, "ReplyFile", r.ReplyFile},
        Text{r.NotifyRecipientOnAction, "NotifyRecipientFile", r.NotifyRecipientFile},
        Text{r.AddTextDisclaimer, "TextDisclaimerFile", r.TextDisclaimerFile},
        Text{r.AddHTMLDisclaimer, "HTMLDisclaimerFile", r.HTMLDisclaimerFile}}) {
    if (!IsFlag(t.flag)) continue;
    const fs::path file = c.config.Layout().Texts() / t.name;  // as the sweeper opens it
    if (t.name.empty() || ::access(file.c_str(), R_OK) != 0)
      c.Add(section, t.key, t.name, "no readable file " + file.string());
  }
}

void CheckRuleChecks(Checker& c, const std::string& section, const CRuleRecord& r) {
  if (!IsFlag(r.BlockEverything) && !IsFlag(r.Tear) && !HasCheck(r))
    c.Add(section, "BlockEverything", "0", "no check is switched on: the rule never triggers");
  const bool keywords = !r.BlockKeywords.empty() || IsFlag(r.BlockAdult);
  if (keywords && !IsFlag(r.ScanSubject) && !IsFlag(r.ScanBody) && !IsFlag(r.ScanAttachments))
    c.Add(section, "ScanSubject", "0",
          "ScanSubject, ScanBody and ScanAttachments are off: the keyword checks never trigger");
  if (IsFlag(r.BlockAdult) && c.config.AdultKeywords.empty())
    c.Add(section, "BlockAdult", "1", "AdultKeywords is empty: the adult check never triggers");
  const bool scanner = std::any_of(c.config.scanners.begin(), c.config.scanners.end(),
                                   [](const CScannerRecord& s) { return IsFlag(s.Enabled); });
  if (IsFlag(r.VirusScan) && !scanner)
    c.Add(section, "VirusScan", "1", "no [Scanner<n>] is enabled: nothing is scanned");
  std::error_code ec;
  if (IsFlag(r.StopSPAM) && !fs::exists(c.config.Layout().SpamFreeFile(), ec))
    c.Add(section, "StopSPAM", "1",
          "spamfree.dat is missing: every sender not named in To or Cc counts as SPAM");
}

void CheckRules(Checker& c) {
  int taken_by = -1;  // a rule before that takes every message
  for (std::size_t n = 0; n < c.config.rules.size(); ++n) {
    const CRuleRecord& r = c.config.rules[n];
    if (!IsFlag(r.Enabled)) continue;
    const std::string section = RuleSectionName(static_cast<int>(n));
    if (taken_by >= 0) {
      c.Add(section, "Enabled", "1",
            "never reached: rule " + std::to_string(taken_by) + " takes every message");
      continue;
    }
    if (!IsFlag(r.AllIncoming) && !IsFlag(r.AllOutgoing) && !IsFlag(r.AllFromTo))
      c.Add(section, "AllIncoming", "0",
            "AllIncoming, AllOutgoing and AllFromTo are off: the rule selects no mail");
    CheckRuleLists(c, section, r);
    CheckRuleChecks(c, section, r);
    CheckRuleTexts(c, section, r);
    std::error_code ec;
    const fs::path area = c.config.QuarantinePath(r.QuarantineArea);
    if (r.Action == kActionQuarantine && !IsStandardFolder(c.config, area) &&
        !fs::is_directory(area, ec))
      c.Add(section, "QuarantineArea", r.QuarantineArea,
            "the quarantine area " + area.string() + " does not exist");
    if (TakesEverything(r)) taken_by = static_cast<int>(n);
  }
}

void CheckScanners(Checker& c) {
  for (std::size_t n = 0; n < c.config.scanners.size(); ++n) {
    const CScannerRecord& s = c.config.scanners[n];
    if (!IsFlag(s.Enabled)) continue;
    if (s.ExePath.empty() || ::access(s.ExePath.c_str(), X_OK) != 0)
      c.Add(ScannerSectionName(static_cast<int>(n)), "ExePath", s.ExePath,
            "no such program: every scan fails and counts as a threat");
  }
}

void CheckRegistry(const fs::path& root, std::vector<ConfigProblem>& problems) {
  RegistrySettings registry(root);
  const fs::path file = SpoolLayout(root).RegistryFile();
  std::error_code ec;
  if (!fs::exists(file, ec)) return;  // every registry value takes its default
  if (registry.Load(file) & kRegistryKeyMissing) {
    problems.push_back({kRegistryName, "", "", "",
                        "cannot be read or has no [Tarnhold] section; the defaults apply"});
    return;
  }
  if (registry.CheckRootPath() == RootPathCheck::OtherFolder)
    problems.push_back({kRegistryName, "Tarnhold", "RootPath", registry.RootPathValue(),
                        "names another folder than the data root; the gateway does not start"});
}

}  // namespace

std::string ProblemLine(const ConfigProblem& p) {
  if (p.section.empty()) return p.file + ": " + p.text;
  return p.file + " [" + p.section + "] " + p.key + "=" + p.value + ": " + p.text;
}

std::vector<ConfigProblem> CheckConfiguration(const fs::path& root, unsigned pop3_port) {
  CGatewayConfig config(root);
  const ConfigLoadReport report = config.Load(MakeFolders::No);
  ProfileFile profile;
  (void)profile.Load(config.ConfigPath());
  Checker c{config, profile, pop3_port, {}};
  if (!report.file_read)
    c.problems.push_back(
        {kConfigName, "", "", "",
         "cannot read " + config.ConfigPath().string() + "; every setting takes its default"});
  CheckDefaults(c);
  CheckRules(c);
  CheckScanners(c);
  CheckRegistry(root, c.problems);
  return std::move(c.problems);
}

}  // namespace tarnhold
