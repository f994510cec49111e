// CServerSettings: registry settings, limits, local domains and message identifiers.
#include "gateway/server_settings.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "gateway/activity_log.h"
#include "gateway/message_id.h"
#include "platform/data_root.h"
#include "platform/profile_file.h"
#include "platform/spool_folder.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr const char* kRegistrySection = "Tarnhold";
constexpr std::size_t kRootPathBufferSize = 256;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// RootPath names the data root, written for either platform: "c:\tarnhold" (with or without
// its trailing backslash) maps onto the data root, a Linux path is used as it stands.
fs::path MapRootPath(const fs::path& data_root, const std::string& value) {
  std::string with_slash = value;
  if (with_slash.back() != '\\' && with_slash.back() != '/') with_slash += '\\';
  fs::path mapped = MapConfigPath(data_root, with_slash);
  if (mapped != fs::path(with_slash)) return mapped;
  return fs::path(value);
}

// Reads the count key and its numbered values. Returns the bits for a missing count or a
// missing value.
int ReadList(const ProfileFile& registry, const char* count_key, const char* item_key,
             int count_missing, int item_missing, std::vector<std::string>& out) {
  out.clear();
  if (!registry.HasKey(kRegistrySection, count_key)) return count_missing;
  int count = std::min(registry.GetInt(kRegistrySection, count_key, 0), kMaxRegistryListEntries);
  int bits = 0;
  for (int n = 0; n < count; ++n) {
    std::string key = item_key + std::to_string(n);
    if (!registry.HasKey(kRegistrySection, key)) {
      bits |= item_missing;
      continue;
    }
    out.push_back(registry.GetString(kRegistrySection, key));
  }
  return bits;
}

}  // namespace

CServerSettings::CServerSettings(fs::path data_root)
    : data_root_(std::move(data_root)), root_path_(data_root_) {}

fs::path CServerSettings::RegistryFile(const fs::path& data_root) {
  return data_root / "registry.dat";
}

int CServerSettings::LoadRegistry(const fs::path& registry_file) {
  ProfileFile registry;
  if (!registry.Load(registry_file) || !registry.HasSection(kRegistrySection)) {
    return kRegistryKeyMissing;
  }
  std::scoped_lock guard(lock_);
  max_out_ = registry.GetInt(kRegistrySection, "MaxOut", 10);
  max_in_ = registry.GetInt(kRegistrySection, "MaxIn", 10);
  max_retries_ = registry.GetInt(kRegistrySection, "MaxRetries", 10);
  retry_interval_s_ = registry.GetInt(kRegistrySection, "RetryInterval", 15);
  int bits = 0;
  if (!registry.HasKey(kRegistrySection, "RootPath")) bits |= kRegistryRootPathMissing;
  std::string root = registry.GetString(kRegistrySection, "RootPath", "", kRootPathBufferSize);
  root_path_ = root.empty() ? data_root_ : MapRootPath(data_root_, root);
  bits |= ReadList(registry, "NumberDomainNames", "DomainName", kRegistryDomainCountMissing,
                   kRegistryDomainNameMissing, domain_names_);
  bits |= ReadList(registry, "NumberDNSNames", "DNSName", kRegistryDnsCountMissing,
                   kRegistryDnsNameMissing, dns_names_);
  return bits;
}

void CServerSettings::SetLimits(int max_in, int max_out, int max_retries, int retry_interval_s) {
  std::scoped_lock guard(lock_);
  max_in_ = max_in;
  max_out_ = max_out;
  max_retries_ = max_retries;
  retry_interval_s_ = retry_interval_s;
}

int CServerSettings::MaxIn() const {
  std::scoped_lock guard(lock_);
  return max_in_;
}

int CServerSettings::MaxOut() const {
  std::scoped_lock guard(lock_);
  return max_out_;
}

int CServerSettings::MaxRetries() const {
  std::scoped_lock guard(lock_);
  return max_retries_;
}

int CServerSettings::RetryInterval() const {
  std::scoped_lock guard(lock_);
  return retry_interval_s_;
}

fs::path CServerSettings::RootPath() const {
  std::scoped_lock guard(lock_);
  return root_path_;
}

std::vector<std::string> CServerSettings::DomainNames() const {
  std::scoped_lock guard(lock_);
  return domain_names_;
}

std::vector<std::string> CServerSettings::DnsNames() const {
  std::scoped_lock guard(lock_);
  return dns_names_;
}

void CServerSettings::SetLocalDomains(std::vector<std::string> local_domains) {
  std::scoped_lock guard(lock_);
  message_id_domain_ = local_domains.empty() || local_domains.front().empty()
                           ? std::string(kPlaceholderDomain)
                           : Lower(local_domains.front());
}

void CServerSettings::SetReadErrorReporter(ReadErrorReporter reporter) {
  std::scoped_lock guard(lock_);
  read_error_reporter_ = std::move(reporter);
}

void CServerSettings::ReportReadError() {
  if (read_error_reporter_) {
    read_error_reporter_("Error", "File Read Error");
  } else {
    SmtpOutLogLine("File Read Error");
  }
}

fs::path CServerSettings::Folder(std::string_view name) const {
  std::scoped_lock guard(lock_);
  return root_path_ / name;
}

std::size_t CServerSettings::SendQueueCount() const { return CountFiles(Folder("que")); }

std::string CServerSettings::MakeMessageId() const {
  std::string domain;
  {
    std::scoped_lock guard(lock_);
    domain = message_id_domain_;
  }
  return MakeMessageIdAt(std::chrono::system_clock::now(), domain);
}

int CServerSettings::MakeMessageId(char* buffer, std::size_t size) const {
  if (buffer == nullptr || size < kMessageIdBufferSize) return 1;
  std::string id = MakeMessageId();
  if (id.size() + 1 > size) return 1;
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  return 0;
}

}  // namespace tarnhold
