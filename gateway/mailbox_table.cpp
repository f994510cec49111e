// CServerSettings: what the spool data manager takes from the configuration.
#include "gateway/gateway_config.h"
#include "gateway/server_settings.h"

namespace tarnhold {

void CServerSettings::BuildMailboxTable(const CGatewayConfig& config) {
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
  BuildMailboxTable(users, addresses);
}

void CServerSettings::ApplyConfiguration(const CGatewayConfig& config) {
  SetLimits(config.SMTPMaxIn, config.SMTPMaxOut, config.SMTPMaxRetries, config.SMTPRetryInterval);
  SetLocalDomains(config.local_domains);
  BuildMailboxTable(config);
  SetDefaultMailbox(config.DefaultPOP3LocalUserID);
}

}  // namespace tarnhold
