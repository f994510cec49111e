// The registry settings: the four limits, the spool's RootPath and the registry's domain and
// DNS name lists, read from <root>/registry.dat. The spool itself always lives on the data
// root; a RootPath naming another folder is reported by CheckRootPath and refused at start.
// Thread-safe: every value is read and written under one small lock.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

// Failure bits of LoadRegistry.
inline constexpr int kRegistryKeyMissing = 1;
inline constexpr int kRegistryRootPathMissing = 2;
inline constexpr int kRegistryDomainCountMissing = 4;
inline constexpr int kRegistryDomainNameMissing = 8;
inline constexpr int kRegistryDnsCountMissing = 16;
inline constexpr int kRegistryDnsNameMissing = 32;

// The registry's numbered lists are read up to this many entries whatever their count says.
inline constexpr int kMaxRegistryListEntries = 1024;

// What a RootPath value means for the spool. OnDataRoot: empty, or naming the data root
// itself (as a Linux path or in its "c:\tarnhold\" form). OtherFolder: anything else; every
// component works on the data root, so such a value would split the spool and is refused.
enum class RootPathCheck { OnDataRoot, OtherFolder };
[[nodiscard]] RootPathCheck CheckRootPath(const std::filesystem::path& data_root,
                                          std::string_view value);

class RegistrySettings {
 public:
  explicit RegistrySettings(std::filesystem::path data_root);
  RegistrySettings(const RegistrySettings&) = delete;
  RegistrySettings& operator=(const RegistrySettings&) = delete;

  // Reads section [Tarnhold] of `registry_file`. Returns 0 or the kRegistry* bits: 1 the file
  // or its section is missing (nothing else is read, every value keeps its default),
  // 2 RootPath, 4 NumberDomainNames, 8 a DomainName<n>, 16 NumberDNSNames, 32 a DNSName<n>.
  int Load(const std::filesystem::path& registry_file);

  void SetLimits(int max_in, int max_out, int max_retries, int retry_interval_s);
  [[nodiscard]] int MaxIn() const;
  [[nodiscard]] int MaxOut() const;
  [[nodiscard]] int MaxRetries() const;
  [[nodiscard]] int RetryInterval() const;  // seconds
  // RootPath as read (cut to 255 bytes), empty when missing.
  [[nodiscard]] std::string RootPathValue() const;
  // The folder RootPath names: the data root when it is empty.
  [[nodiscard]] std::filesystem::path RootPath() const;
  [[nodiscard]] RootPathCheck CheckRootPath() const;
  [[nodiscard]] std::vector<std::string> DomainNames() const;
  [[nodiscard]] std::vector<std::string> DnsNames() const;

 private:
  mutable std::mutex lock_;
  const std::filesystem::path data_root_;
  std::string root_path_value_;
  int max_out_ = 10;
  int max_in_ = 10;
  int max_retries_ = 10;
  int retry_interval_s_ = 15;
  std::vector<std::string> domain_names_;
  std::vector<std::string> dns_names_;
};

}  // namespace tarnhold
