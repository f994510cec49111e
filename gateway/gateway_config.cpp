#include "gateway/gateway_config.h"

#include <system_error>

#include "gateway/list_file.h"
#include "platform/data_root.h"
#include "platform/profile_file.h"
#include "platform/text_case.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr std::string_view kDefaultsSection = "Defaults";

// One [Defaults] key: exactly one member pointer is set. The key is spelled as written,
// including the blank before "=" that three keys carry.
struct DefaultsKey {
  std::string_view key;
  int CGatewayConfig::*number = nullptr;
  std::uint16_t CGatewayConfig::*port = nullptr;
  std::string CGatewayConfig::*text = nullptr;
};

using C = CGatewayConfig;

// The keys before the LocalDomain<n> and DialTime<n> lists, in file order.
constexpr DefaultsKey kKeysBeforeLists[] = {
    {"AdultKeywords", nullptr, nullptr, &C::AdultKeywords},
    {"InboundGatewayAddress", nullptr, nullptr, &C::InboundGatewayAddress},
    {"InboundGatewayType ", &C::InboundGatewayType},
    {"OutboundGatewayAddress", nullptr, nullptr, &C::OutboundGatewayAddress},
    {"OutboundGatewayType ", &C::OutboundGatewayType},
    {"DNSLookupFileName", nullptr, nullptr, &C::DNSLookupFileName},
    {"SMTPRoutingFileName", nullptr, nullptr, &C::SMTPRoutingFileName},
    {"EnableClustering ", &C::EnableClustering},
    {"ClusterFileName", nullptr, nullptr, &C::ClusterFileName},
    {"LogPOP3", &C::LogPOP3},
    {"LogSMTPIn", &C::LogSMTPIn},
    {"LogSMTPInTraffic", &C::LogSMTPInTraffic},
    {"LogSweeper", &C::LogSweeper},
    {"LogSMTPOut", &C::LogSMTPOut},
    {"LogBandwidth", &C::LogBandwidth},
    {"AdminEmail", nullptr, nullptr, &C::AdminEmail},
    {"SpamReplyEmail", nullptr, nullptr, &C::SpamReplyEmail},
    {"EnablePOP3Server", &C::EnablePOP3Server},
    {"DefaultPOP3LocalUserID", &C::DefaultPOP3LocalUserID},
    {"EnablePOP3Download", &C::EnablePOP3Download},
    {"POP3DownloadInterval", &C::POP3DownloadInterval},
    {"SMTPInPort", nullptr, &C::SMTPInPort},
    {"InboundPort", nullptr, &C::InboundPort},
    {"OutboundPort", nullptr, &C::OutboundPort},
    {"POP3Port", nullptr, &C::POP3Port},
    {"SMTPMaxIn", &C::SMTPMaxIn},
    {"SMTPMaxOut", &C::SMTPMaxOut},
    {"SMTPMaxRetries", &C::SMTPMaxRetries},
    {"SMTPRetryInterval", &C::SMTPRetryInterval},
};

// The keys after the two lists, in file order.
constexpr DefaultsKey kKeysAfterLists[] = {
    {"DialEntry", nullptr, nullptr, &C::DialEntry},
    {"DialUserName", nullptr, nullptr, &C::DialUserName},
    {"DialPassword", nullptr, nullptr, &C::DialPassword},
    {"DialModem", nullptr, nullptr, &C::DialModem},
    {"EnableRas", &C::EnableRas},
    {"DialASAP", &C::DialASAP},
    {"DialMON", &C::DialMON},
    {"DialTUE", &C::DialTUE},
    {"DialWED", &C::DialWED},
    {"DialTHU", &C::DialTHU},
    {"DialFRI", &C::DialFRI},
    {"DialSAT", &C::DialSAT},
    {"DialSUN", &C::DialSUN},
    {"OffPeakFromHH", &C::OffPeakFromHH},
    {"OffPeakFromMM", &C::OffPeakFromMM},
    {"OffPeakToHH", &C::OffPeakToHH},
    {"OffPeakToMM", &C::OffPeakToMM},
};

// Keys beyond the administrator's layout: read like the others, written after them only when
// they differ from their default, so a file with the defaults keeps that layout exactly.
constexpr DefaultsKey kKeysBeyondLayout[] = {
    {"VirusScanTimeout", &C::VirusScanTimeout},
    {"POP3DownloadMaxSize", &C::POP3DownloadMaxSize},
    {"AllowRelay", &C::AllowRelay},
    {"RelayNetworksFileName", nullptr, nullptr, &C::RelayNetworksFileName},
    {"SMTPMaxMessageSize", &C::SMTPMaxMessageSize},
    {"MaxReceivedHeaders", &C::MaxReceivedHeaders},
    {"MetricsFileName", nullptr, nullptr, &C::MetricsFileName},
    {"MetricsInterval", &C::MetricsInterval},
    {"TLSCertificateFile", nullptr, nullptr, &C::TLSCertificateFile},
    {"TLSKeyFile", nullptr, nullptr, &C::TLSKeyFile},
    {"SMTPOutTLS", &C::SMTPOutTLS},
    {"SMTPOutTLSVerify", &C::SMTPOutTLSVerify},
    {"POP3RequireTLS", &C::POP3RequireTLS},
};

constexpr std::string_view kLocalDomainKey = "LocalDomain";
constexpr std::string_view kDialTimeKey = "DialTime";
constexpr std::string_view kEmailAddressKey = "EmailAddress";

template <std::size_t N>
void ReadDefaults(const ProfileFile& profile, const DefaultsKey (&keys)[N], CGatewayConfig& c) {
  const CGatewayConfig defaults(c.Root());
  for (const DefaultsKey& k : keys) {
    if (k.number) {
      c.*k.number = profile.GetInt(kDefaultsSection, k.key, defaults.*k.number);
    } else if (k.port) {
      // A number outside the 16-bit range names no port; cutting it to 16 bits would listen
      // or connect somewhere nobody configured.
      int value = profile.GetInt(kDefaultsSection, k.key, defaults.*k.port);
      c.*k.port =
          value >= 0 && value <= 65535 ? static_cast<std::uint16_t>(value) : defaults.*k.port;
    } else {
      // A missing key keeps its default (empty for every key of the administrator's layout).
      c.*k.text = profile.HasKey(kDefaultsSection, k.key)
                      ? ReadConfigText(profile, kDefaultsSection, k.key)
                      : defaults.*k.text;
    }
  }
}

template <std::size_t N>
void WriteDefaults(ProfileFile& profile, const DefaultsKey (&keys)[N], const CGatewayConfig& c) {
  for (const DefaultsKey& k : keys) {
    if (k.number) {
      profile.AppendInt(k.key, c.*k.number);
    } else if (k.port) {
      profile.AppendInt(k.key, c.*k.port);
    } else {
      WriteConfigText(profile, k.key, c.*k.text);
    }
  }
}

// `prefix`0, `prefix`1, ... of `section` until a value is empty or missing.
std::vector<std::string> ReadNumbered(const ProfileFile& profile, std::string_view section,
                                      std::string_view prefix) {
  std::vector<std::string> values;
  for (int n = 0;; ++n) {
    std::string value = ReadConfigText(profile, section, std::string(prefix) + std::to_string(n));
    if (value.empty()) return values;
    values.push_back(std::move(value));
  }
}

// The numbered keys of a list; an empty value would end the list on the next load and hide
// every later one, so it is left out.
void WriteNumbered(ProfileFile& profile, std::string_view prefix,
                   const std::vector<std::string>& values) {
  int n = 0;
  for (const std::string& v : values) {
    if (!v.empty()) WriteConfigText(profile, std::string(prefix) + std::to_string(n++), v);
  }
}

void MakeFolder(const fs::path& path, ConfigLoadReport& report) {
  std::error_code ec;
  fs::create_directory(path, ec);
  if (ec) report.problems.push_back("cannot create folder " + path.string() + ": " + ec.message());
}

void ReadList(const fs::path& path, std::string_view what, std::vector<std::string>& entries,
              ConfigLoadReport& report) {
  switch (ReadListFile(path, entries)) {
    case ListFileResult::Read:
      return;
    case ListFileResult::Truncated:
      report.problems.push_back("the " + std::string(what) + " " + path.string() +
                                " is too long; only its first " +
                                std::to_string(kMaxListFileBytes) + " bytes were read");
      return;
    case ListFileResult::Unreadable:
      report.problems.push_back("cannot read the " + std::string(what) + " '" + path.string() +
                                "'");
      return;
  }
}

}  // namespace

CGatewayConfig::CGatewayConfig(fs::path root) : root_(std::move(root)) {}

fs::path CGatewayConfig::MapPath(std::string_view value) const {
  return MapConfigPath(root_, value);
}

fs::path CGatewayConfig::QuarantinePath(std::string_view area) const {
  // An area is one folder name under quaran/: only its last path element counts, so neither
  // "../x" nor an absolute path reaches outside; "." and ".." name quaran/ itself.
  std::string_view name = LastPathElement(area);
  name = name.substr(0, name.find('\0'));
  fs::path base = Layout().QuarantineRoot();
  if (name.empty() || name == "." || name == "..") return base;
  return base / std::string(name);
}

ConfigLoadReport CGatewayConfig::Load(MakeFolders make) {
  ConfigLoadReport report;
  auto make_folder = [make, &report](const fs::path& path) {
    if (make == MakeFolders::Yes) MakeFolder(path, report);
  };
  std::error_code ec;
  if (make == MakeFolders::Yes) fs::create_directories(root_, ec);
  for (std::string_view folder : SpoolLayout::kFolders) make_folder(root_ / folder);

  // Everything is read into a fresh object, so a reload replaces each value and list.
  CGatewayConfig c(root_);
  ProfileFile profile;
  report.file_read = profile.Load(ConfigPath());

  ReadDefaults(profile, kKeysBeforeLists, c);
  for (std::string& d : ReadNumbered(profile, kDefaultsSection, kLocalDomainKey))
    c.local_domains.push_back(ToLower(d));
  for (std::string& t : ReadNumbered(profile, kDefaultsSection, kDialTimeKey))
    c.dial_times.push_back(ToLower(t));
  ReadDefaults(profile, kKeysAfterLists, c);
  ReadDefaults(profile, kKeysBeyondLayout, c);
  // The list files are read once their names are known.
  if (c.OutboundGatewayType == 1)
    ReadList(c.MapPath(c.DNSLookupFileName), "DNS server list", c.dns_servers, report);
  if (c.EnableClustering == 1)
    ReadList(c.MapPath(c.ClusterFileName), "cluster list", c.cluster_hosts, report);

  for (CRuleRecord rule; rule.Load(profile, static_cast<int>(c.rules.size()));) {
    make_folder(c.QuarantinePath(rule.QuarantineArea));
    c.rules.push_back(std::move(rule));
  }
  for (CPopAccountRecord pop; pop.LoadRemote(profile, static_cast<int>(c.pop_accounts.size()));)
    c.pop_accounts.push_back(std::move(pop));
  for (CPopAccountRecord user;
       user.LoadLocalUser(profile, static_cast<int>(c.local_users.size()));) {
    std::string section = LocalUserSectionName(static_cast<int>(c.local_users.size()));
    for (std::string& address : ReadNumbered(profile, section, kEmailAddressKey))
      c.mailbox_pairs.push_back(MailboxPair{user.Account, std::move(address)});
    // A hand-written configuration has no mailbox folders yet; without one, local delivery to
    // this user would fail on every attempt.
    make_folder(Layout().Mailbox(static_cast<int>(c.local_users.size())));
    c.local_users.push_back(std::move(user));
  }
  for (CScannerRecord scanner; scanner.Load(profile, static_cast<int>(c.scanners.size()));)
    c.scanners.push_back(std::move(scanner));

  *this = std::move(c);
  return report;
}

bool CGatewayConfig::Save(std::string& error) const {
  ProfileFile profile;
  WriteTo(profile);
  if (!profile.Save(ConfigPath())) {
    error = "cannot write " + ConfigPath().string();
    return false;
  }
  for (std::size_t n = 0; n < local_users.size(); ++n) {
    std::error_code ec;
    fs::create_directories(Layout().Mailbox(static_cast<int>(n)), ec);
  }
  return true;
}

void CGatewayConfig::WriteTo(ProfileFile& profile) const {
  profile.AppendSection(kDefaultsSection);
  WriteDefaults(profile, kKeysBeforeLists, *this);
  WriteNumbered(profile, kLocalDomainKey, local_domains);
  WriteNumbered(profile, kDialTimeKey, dial_times);
  WriteDefaults(profile, kKeysAfterLists, *this);
  const CGatewayConfig defaults(root_);
  for (const DefaultsKey& k : kKeysBeyondLayout) {
    if (k.number && this->*k.number != defaults.*k.number) {
      profile.AppendInt(k.key, this->*k.number);
    } else if (k.text && this->*k.text != defaults.*k.text) {
      WriteConfigText(profile, k.key, this->*k.text);
    }
  }

  profile.AddBlankLines(3);
  for (std::size_t n = 0; n < rules.size(); ++n) {
    profile.AddBlankLines(1);
    rules[n].Write(profile, static_cast<int>(n));
  }
  // A mailbox or scanner without its list key would end its list on the next load and hide
  // every later one; it is left out. Local users keep their numbers: they are mailbox numbers.
  profile.AddBlankLines(3);
  int written = 0;
  for (const CPopAccountRecord& pop : pop_accounts) {
    if (pop.Account.empty()) continue;
    profile.AddBlankLines(2);
    pop.WriteRemote(profile, written++);
  }
  profile.AddBlankLines(3);
  for (std::size_t n = 0; n < local_users.size(); ++n) {
    profile.AddBlankLines(2);
    local_users[n].WriteLocalUser(profile, static_cast<int>(n));
    std::vector<std::string> addresses;
    for (const MailboxPair& pair : mailbox_pairs) {
      if (EqualsNoCase(pair.account, local_users[n].Account)) addresses.push_back(pair.address);
    }
    WriteNumbered(profile, kEmailAddressKey, addresses);
  }
  profile.AddBlankLines(3);
  written = 0;
  for (const CScannerRecord& scanner : scanners) {
    if (scanner.Title.empty()) continue;
    profile.AddBlankLines(2);
    scanner.Write(profile, written++);
  }
}

}  // namespace tarnhold
