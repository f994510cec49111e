#include "gateway/registry_settings.h"

#include <algorithm>

#include "platform/data_root.h"
#include "platform/profile_file.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr const char* kRegistrySection = "Tarnhold";
constexpr std::size_t kRootPathBufferSize = 256;

// RootPath names a folder, written for either platform: "c:\tarnhold" (with or without its
// trailing backslash) maps onto the data root, a Linux path is used as it stands.
fs::path MapRootPath(const fs::path& data_root, std::string_view value) {
  if (value.empty()) return data_root;
  std::string with_slash(value);
  if (with_slash.back() != '\\' && with_slash.back() != '/') with_slash += '\\';
  fs::path mapped = MapConfigPath(data_root, with_slash);
  if (mapped != fs::path(with_slash)) return mapped;
  return fs::path(std::string(value));
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

RootPathCheck CheckRootPath(const fs::path& data_root, std::string_view value) {
  if (value.empty()) return RootPathCheck::OnDataRoot;
  const fs::path named = MapRootPath(data_root, value);
  std::error_code ec;
  // The same folder under another spelling (a link, "..", a trailing slash) is still the data
  // root; a folder that does not exist yet is compared by its normal form.
  if (fs::equivalent(named, data_root, ec) && !ec) return RootPathCheck::OnDataRoot;
  const fs::path a = fs::weakly_canonical(named, ec);
  const fs::path b = ec ? fs::path() : fs::weakly_canonical(data_root, ec);
  if (!ec && (a / "").lexically_normal() == (b / "").lexically_normal()) {
    return RootPathCheck::OnDataRoot;
  }
  return RootPathCheck::OtherFolder;
}

RegistrySettings::RegistrySettings(fs::path data_root) : data_root_(std::move(data_root)) {}

int RegistrySettings::Load(const fs::path& registry_file) {
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
  root_path_value_ = registry.GetString(kRegistrySection, "RootPath", "", kRootPathBufferSize);
  bits |= ReadList(registry, "NumberDomainNames", "DomainName", kRegistryDomainCountMissing,
                   kRegistryDomainNameMissing, domain_names_);
  bits |= ReadList(registry, "NumberDNSNames", "DNSName", kRegistryDnsCountMissing,
                   kRegistryDnsNameMissing, dns_names_);
  return bits;
}

void RegistrySettings::SetLimits(int max_in, int max_out, int max_retries, int retry_interval_s) {
  std::scoped_lock guard(lock_);
  max_in_ = max_in;
  max_out_ = max_out;
  max_retries_ = max_retries;
  retry_interval_s_ = retry_interval_s;
}

int RegistrySettings::MaxIn() const {
  std::scoped_lock guard(lock_);
  return max_in_;
}

int RegistrySettings::MaxOut() const {
  std::scoped_lock guard(lock_);
  return max_out_;
}

int RegistrySettings::MaxRetries() const {
  std::scoped_lock guard(lock_);
  return max_retries_;
}

int RegistrySettings::RetryInterval() const {
  std::scoped_lock guard(lock_);
  return retry_interval_s_;
}

std::string RegistrySettings::RootPathValue() const {
  std::scoped_lock guard(lock_);
  return root_path_value_;
}

fs::path RegistrySettings::RootPath() const { return MapRootPath(data_root_, RootPathValue()); }

RootPathCheck RegistrySettings::CheckRootPath() const {
  return tarnhold::CheckRootPath(data_root_, RootPathValue());
}

std::vector<std::string> RegistrySettings::DomainNames() const {
  std::scoped_lock guard(lock_);
  return domain_names_;
}

std::vector<std::string> RegistrySettings::DnsNames() const {
  std::scoped_lock guard(lock_);
  return dns_names_;
}

}  // namespace tarnhold
