// Feeds arbitrary bytes to the gateway as its tarnhold.dat: the load must end, keep every value
// within its bound and every quarantine folder inside quaran/, and what it loaded must come
// back unchanged through the administrator's save.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "gateway/gateway_config.h"
#include "platform/profile_file.h"

using namespace tarnhold;
namespace fs = std::filesystem;

namespace {

const fs::path& FuzzRoot() {
  static const fs::path root = [] {
    // Under $TMPDIR: fuzz/run.sh points it at a memory file system that it removes afterwards.
    std::string tmpl = (fs::temp_directory_path() / "thfuzz.XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    return fs::path(tmpl);
  }();
  return root;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckBounds(const CGatewayConfig& c) {
  for (const CRuleRecord& rule : c.rules) {
    for (const RuleKey& k : RuleKeys()) {
      if (k.text) Check((rule.*k.text).size() <= kMaxConfigValueLength);
    }
    fs::path area = c.QuarantinePath(rule.QuarantineArea).lexically_normal();
    fs::path quaran = c.Layout().QuarantineRoot().lexically_normal();
    auto [end, _] = std::mismatch(quaran.begin(), quaran.end(), area.begin(), area.end());
    Check(end == quaran.end());
  }
  for (const std::string& d : c.local_domains)
    Check(!d.empty() && d.size() <= kMaxConfigValueLength);
  Check(c.AdminEmail.size() <= kMaxConfigValueLength);
}

// Two users whose accounts differ only in case share their addresses when written, so their
// pairs cannot come back in the same order.
bool AccountsDistinct(const CGatewayConfig& c) {
  for (std::size_t i = 0; i < c.local_users.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (EqualsNoCase(c.local_users[i].Account, c.local_users[j].Account)) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path& root = FuzzRoot();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root, ec)) fs::remove_all(entry.path(), ec);
  {
    std::ofstream out(tarnhold::SpoolLayout(root).ConfigFile(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  CGatewayConfig loaded(root);
  loaded.Load();
  CheckBounds(loaded);

  std::string error;
  Check(loaded.Save(error));
  CGatewayConfig again(root);
  again.Load();
  // The DNS and cluster lists come from files the input may name, tarnhold.dat itself among
  // them, which the save has just rewritten.
  again.dns_servers = loaded.dns_servers;
  again.cluster_hosts = loaded.cluster_hosts;
  if (AccountsDistinct(loaded)) {
    Check(again == loaded);
  } else {
    Check(again.rules == loaded.rules && again.local_users == loaded.local_users);
  }
  return 0;
}
