// MailboxStore: the mailbox table from the configuration's local users and address pairs.
#include "gateway/gateway_config.h"
#include "gateway/mailbox_store.h"

namespace tarnhold {

void MailboxStore::BuildTable(const CGatewayConfig& config) {
  std::vector<LocalUser> users;
  users.reserve(config.local_users.size());
  for (const CPopAccountRecord& u : config.local_users) {
    users.push_back(LocalUser{u.Account, u.Password, u.Active == 1});
  }
  std::vector<AccountAddress> addresses;
  addresses.reserve(config.mailbox_pairs.size());
  for (const MailboxPair& pair : config.mailbox_pairs) {
    addresses.push_back(AccountAddress{pair.account, pair.address});
  }
  BuildTable(users, addresses);
}

}  // namespace tarnhold
