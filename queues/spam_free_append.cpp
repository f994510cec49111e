#include "queues/spam_free_append.h"

#include "gateway/address_lists.h"
#include "gateway/spam_free_file.h"

namespace fs = std::filesystem;

namespace tarnhold::queues {

TrustResult AddTrustedSender(const fs::path& list, std::string_view address) {
  if (address.empty()) return TrustResult::Refused;
  for (unsigned char c : address) {
    if (c < 0x20 || c == 0x7f) return TrustResult::Refused;
  }
  SpamFreeLock lock;
  std::string error;
  std::string text;
  if (lock.Open(list, error) != LockResult::Locked || !lock.ReadAll(text))
    return TrustResult::Failed;
  for (const std::string& entry : lists::ParseRuleList(text)) {
    if (lists::MatchWildcard(address, entry)) return TrustResult::AlreadyCovered;
  }
  if (lock.Append(address, error) != WriteResult::Written) return TrustResult::Failed;
  return TrustResult::Added;  // the lock ends with `lock`
}

}  // namespace tarnhold::queues
