// CServerSettings: the facade over the registry settings, spool queues, mailbox store and
// message identifiers. It keeps the established results; the parts have their own.
#include "gateway/server_settings.h"

#include "gateway/gateway_config.h"

namespace fs = std::filesystem;

namespace tarnhold {

CServerSettings::CServerSettings(fs::path data_root)
    : layout_(std::move(data_root)),
      registry_(layout_.Root()),
      queue_(layout_, registry_),
      mailboxes_(layout_) {}

fs::path CServerSettings::RegistryFile(const fs::path& data_root) {
  return SpoolLayout(data_root).RegistryFile();
}

// ---- Registry settings ---------------------------------------------------------------------

int CServerSettings::LoadRegistry(const fs::path& registry_file) {
  return registry_.Load(registry_file);
}

void CServerSettings::SetLimits(int max_in, int max_out, int max_retries, int retry_interval_s) {
  registry_.SetLimits(max_in, max_out, max_retries, retry_interval_s);
}

int CServerSettings::MaxIn() const { return registry_.MaxIn(); }
int CServerSettings::MaxOut() const { return registry_.MaxOut(); }
int CServerSettings::MaxRetries() const { return registry_.MaxRetries(); }
int CServerSettings::RetryInterval() const { return registry_.RetryInterval(); }
fs::path CServerSettings::RootPath() const { return registry_.RootPath(); }
RootPathCheck CServerSettings::CheckRootPath() const { return registry_.CheckRootPath(); }
std::string CServerSettings::RootPathValue() const { return registry_.RootPathValue(); }
std::vector<std::string> CServerSettings::DomainNames() const { return registry_.DomainNames(); }
std::vector<std::string> CServerSettings::DnsNames() const { return registry_.DnsNames(); }

void CServerSettings::SetLocalDomains(std::vector<std::string> local_domains) {
  message_ids_.SetLocalDomains(local_domains);
}

void CServerSettings::SetReadErrorReporter(ReadErrorReporter reporter) {
  queue_.SetReadErrorReporter(std::move(reporter));
}

void CServerSettings::ReportReadError() { queue_.ReportReadError(); }

void CServerSettings::ApplyConfiguration(const CGatewayConfig& config) {
  SetLimits(config.SMTPMaxIn, config.SMTPMaxOut, config.SMTPMaxRetries, config.SMTPRetryInterval);
  SetLocalDomains(config.local_domains);
  mailboxes_.BuildTable(config);
  mailboxes_.SetDefaultMailbox(config.DefaultPOP3LocalUserID);
}

// ---- Queue items ---------------------------------------------------------------------------

SpoolItem CServerSettings::NewProcessingItem() { return queue_.NewProcessingItem(); }

int CServerSettings::WriteHeader(SpoolItem& item, std::string_view recipient,
                                 std::string_view sender, std::uint32_t attempts,
                                 std::uint32_t return_kind) {
  return queue_.WriteHeader(item, recipient, sender, attempts, return_kind);
}

int CServerSettings::UpdateHeader(SpoolItem& item, std::uint32_t attempts,
                                  std::uint32_t return_kind) {
  return queue_.UpdateHeader(item, attempts, return_kind);
}

int CServerSettings::ReadHeader(SpoolItem& item, QueueItemHeader& header,
                                std::size_t recipient_size, std::size_t sender_size) {
  return queue_.ReadHeader(item, header, recipient_size, sender_size);
}

int CServerSettings::CopyItemForRecipient(SpoolItem& source, std::string_view recipient,
                                          Flush flush) {
  switch (queue_.CopyItemForRecipient(source, recipient, flush)) {
    case CopyResult::Copied:
      return 0;
    case CopyResult::NoItem:
      return 1;
    case CopyResult::Failed:
      break;
  }
  return 2;
}

std::size_t CServerSettings::WriteData(SpoolItem& item, const void* bytes, std::size_t count) {
  return queue_.WriteData(item, bytes, count);
}

std::size_t CServerSettings::ReadBlock(SpoolItem& item, void* buffer, std::size_t size) {
  return queue_.ReadBlock(item, buffer, size);
}

bool CServerSettings::FlushToDisk(SpoolItem& item) { return queue_.FlushToDisk(item); }

SpoolItem CServerSettings::NextSendItem() { return queue_.NextSendItem(SendItemFilter{}); }

SpoolItem CServerSettings::NextSendItem(const SendItemFilter& hold) {
  return queue_.NextSendItem(hold);
}

int CServerSettings::CloseItem(SpoolItem& item, OnClose on_close) {
  const CloseResult closed = item.IsNewMailboxMessage() ? mailboxes_.CloseMessage(item, on_close)
                                                        : queue_.CloseItem(item, on_close);
  return closed == CloseResult::Closed ? 0 : 1;
}

bool CServerSettings::WriteSourceInfo(std::uint32_t number, std::string_view address,
                                      std::string& error, Flush flush) {
  return queue_.WriteSourceInfo(number, address, error, flush);
}

SourceInfo CServerSettings::ReadSourceInfo(std::uint32_t number, std::string& address) const {
  return queue_.ReadSourceInfo(number, address);
}

fs::path CServerSettings::SourceInfoPath(std::uint32_t number) const {
  return queue_.SourceInfoPath(number);
}

std::size_t CServerSettings::SendQueueCount() const { return queue_.SendQueueCount(); }

// ---- Local mailboxes -----------------------------------------------------------------------

void CServerSettings::BuildMailboxTable(const std::vector<LocalUser>& users,
                                        const std::vector<AccountAddress>& addresses) {
  mailboxes_.BuildTable(users, addresses);
}

void CServerSettings::BuildMailboxTable(const CGatewayConfig& config) {
  mailboxes_.BuildTable(config);
}

void CServerSettings::SetDefaultMailbox(int number) { mailboxes_.SetDefaultMailbox(number); }

std::vector<CMailboxEntry> CServerSettings::MailboxTable() const { return mailboxes_.Table(); }

SpoolItem CServerSettings::DeliverToMailbox(std::string_view address) {
  return mailboxes_.Deliver(address);
}

int CServerSettings::OpenMailbox(std::string_view account, std::string_view password) {
  const MailboxLogin login = mailboxes_.Open(account, password);
  switch (login.result) {
    case LoginResult::Opened:
      return login.index;
    case LoginResult::InUse:
      return -2;
    case LoginResult::NoSuchUser:
      break;
  }
  return -1;
}

int CServerSettings::CloseMailbox(int index) { return mailboxes_.Close(index); }

int CServerSettings::MessageCount(int index) const { return mailboxes_.MessageCount(index); }

std::int64_t CServerSettings::MessageSize(int index, int position) const {
  return mailboxes_.MessageSize(index, position);
}

SpoolItem CServerSettings::OpenMessage(int index, int position) {
  return mailboxes_.OpenMessage(index, position);
}

int CServerSettings::MarkDeleted(int index, int position) {
  return mailboxes_.MarkDeleted(index, position) ? 0 : -1;
}

void CServerSettings::UnmarkAll(int index) { mailboxes_.UnmarkAll(index); }

int CServerSettings::ReadLine(SpoolItem& message, char* buffer, std::size_t size, bool* complete) {
  return mailboxes_.ReadLine(message, buffer, size, complete);
}

int CServerSettings::FindMessageId(SpoolItem& message, std::string& value, std::size_t size) {
  return mailboxes_.FindMessageId(message, value, size);
}

// ---- Message identifiers -------------------------------------------------------------------

int CServerSettings::MakeMessageId(char* buffer, std::size_t size) const {
  return message_ids_.MakeInto(buffer, size) ? 0 : 1;
}

std::string CServerSettings::MakeMessageId() const { return message_ids_.Make(); }

}  // namespace tarnhold
