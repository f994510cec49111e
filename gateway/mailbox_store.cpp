#include "gateway/mailbox_store.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/spool_folder.h"
#include "platform/text_case.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr std::size_t kMailboxNameLength = 255;

}  // namespace

MailboxStore::MailboxStore(const SpoolLayout& layout) : layout_(layout) {}

void MailboxStore::BuildTable(const std::vector<LocalUser>& users,
                              const std::vector<AccountAddress>& addresses) {
  std::vector<std::shared_ptr<Mailbox>> table;
  for (const LocalUser& user : users) {
    auto mailbox = std::make_shared<Mailbox>();
    CMailboxEntry& entry = mailbox->entry;
    entry.account = user.account;
    entry.password = user.password;
    entry.active = user.active;
    entry.number = static_cast<int>(table.size());
    for (const AccountAddress& pair : addresses) {
      if (EqualsNoCase(pair.account, user.account)) entry.addresses.push_back(pair.address);
    }
    table.push_back(std::move(mailbox));
  }
  std::scoped_lock guard(table_lock_);
  mailboxes_ = std::move(table);
}

void MailboxStore::SetDefaultMailbox(int number) {
  std::scoped_lock guard(table_lock_);
  default_mailbox_ = number;
}

std::vector<CMailboxEntry> MailboxStore::Table() const {
  std::vector<std::shared_ptr<Mailbox>> table;
  {
    std::scoped_lock guard(table_lock_);
    table = mailboxes_;
  }
  std::vector<CMailboxEntry> out;
  out.reserve(table.size());
  for (const auto& mailbox : table) {
    std::scoped_lock guard(mailbox->lock);
    out.push_back(mailbox->entry);
  }
  return out;
}

std::shared_ptr<MailboxStore::Mailbox> MailboxStore::At(int index) const {
  std::scoped_lock guard(table_lock_);
  if (index < 0 || static_cast<std::size_t>(index) >= mailboxes_.size()) return nullptr;
  return mailboxes_[static_cast<std::size_t>(index)];
}

ItemCounter& MailboxStore::Counter(const fs::path& folder) {
  std::scoped_lock guard(counters_lock_);
  std::unique_ptr<ItemCounter>& counter = counters_[folder];
  if (!counter) counter = std::make_unique<ItemCounter>(folder);
  return *counter;
}

SpoolItem MailboxStore::Deliver(std::string_view address) {
  std::string_view name = address.substr(0, address.find('@'));
  name = name.substr(0, std::min(name.size(), kMailboxNameLength));
  int mailbox = 0;
  {
    // Identity fields never change after the table is built: no mailbox lock is needed.
    std::scoped_lock guard(table_lock_);
    mailbox = default_mailbox_;
    for (const auto& m : mailboxes_) {
      const CMailboxEntry& entry = m->entry;
      if (!entry.active) continue;
      auto match = [&](const std::string& a) { return EqualsNoCase(a, name); };
      if (std::any_of(entry.addresses.begin(), entry.addresses.end(), match)) {
        mailbox = entry.number;
        break;
      }
    }
  }
  SpoolItem message;
  if (mailbox < 0) return message;
  std::string error;
  fs::path folder = layout_.Mailbox(mailbox);
  if (message.file_.CreateUnnamed(folder, error) != CreateResult::Created) return SpoolItem{};
  message.pending_folder_ = folder;
  return message;
}

CloseResult MailboxStore::CloseMessage(SpoolItem& message, OnClose on_close) {
  if (!message.IsOpen()) return CloseResult::Failed;
  bool ok = on_close == OnClose::Delete || Commit(message);
  ok = message.file_.Close() && ok;
  message.pending_folder_.clear();
  return ok ? CloseResult::Closed : CloseResult::Failed;
}

bool MailboxStore::Commit(SpoolItem& message) {
  // The message reaches the disk before it gets its name, so a delivery that deletes its queue
  // item after this never loses the mail.
  if (::fsync(message.file_.Fd()) != 0) return false;
  const fs::path& folder = message.pending_folder_;
  ItemCounter& numbers = Counter(folder);
  std::uint32_t k = numbers.Next();
  for (int tries = 0; tries < kMailboxNumberTries && k != 0; ++tries) {
    std::string error;
    switch (message.file_.LinkAs(folder / std::to_string(k), error)) {
      case CreateResult::Created:
        message.number_ = k;
        return SyncFolder(folder);
      case CreateResult::Exists:
        k = numbers.AfterCollision(k);
        continue;
      case CreateResult::Failed:
        return false;
    }
  }
  return false;
}

MailboxLogin MailboxStore::Open(std::string_view account, std::string_view password) {
  std::vector<std::shared_ptr<Mailbox>> table;
  {
    std::scoped_lock guard(table_lock_);
    table = mailboxes_;
  }
  for (const auto& mailbox : table) {
    const CMailboxEntry& id = mailbox->entry;
    if (!EqualsNoCase(id.account, account) || !EqualsNoCase(id.password, password)) continue;
    {
      std::scoped_lock guard(mailbox->lock);
      if (mailbox->entry.in_use) return {LoginResult::InUse, -1};
      mailbox->entry.in_use = true;  // from here on only this session touches the lists
    }
    CMailboxEntry listed;
    listed.number = id.number;
    List(listed);
    std::scoped_lock guard(mailbox->lock);
    mailbox->entry.message_numbers = std::move(listed.message_numbers);
    mailbox->entry.deletion_marks = std::move(listed.deletion_marks);
    mailbox->entry.message_sizes = std::move(listed.message_sizes);
    return {LoginResult::Opened, id.number};
  }
  return {LoginResult::NoSuchUser, -1};
}

void MailboxStore::List(CMailboxEntry& entry) const {
  const fs::path folder = layout_.Mailbox(entry.number);
  for (std::uint32_t number : ListItemNumbers(folder)) {
    if (entry.MessageCount() >= kMaxMailboxMessages) break;
    LockedFile file;
    std::string error;
    if (file.OpenLocked(folder / std::to_string(number), Access::ReadOnly, error) !=
        LockResult::Locked) {
      continue;  // being written or read by another party: it waits for the next login
    }
    entry.message_numbers.push_back(number);
    entry.deletion_marks.push_back(false);
    entry.message_sizes.push_back(file.Size());
  }
}

int MailboxStore::Close(int index) {
  std::shared_ptr<Mailbox> mailbox = At(index);
  if (!mailbox) return 0;
  std::vector<std::uint32_t> marked;
  {
    std::scoped_lock guard(mailbox->lock);
    const CMailboxEntry& entry = mailbox->entry;
    for (std::size_t i = 0; i < entry.message_numbers.size(); ++i) {
      if (entry.deletion_marks[i]) marked.push_back(entry.message_numbers[i]);
    }
  }
  // Deleted without the lock; the mailbox stays in use until the lists are cleared.
  int failures = 0;
  const fs::path folder = layout_.Mailbox(mailbox->entry.number);
  for (std::uint32_t number : marked) {
    std::string error;
    if (DeleteUnheldItem(folder / std::to_string(number), error) != DeleteResult::Deleted) {
      ++failures;
    }
  }
  std::scoped_lock guard(mailbox->lock);
  CMailboxEntry& entry = mailbox->entry;
  entry.message_numbers.clear();
  entry.deletion_marks.clear();
  entry.message_sizes.clear();
  entry.in_use = false;
  return failures;
}

int MailboxStore::MessageCount(int index) const {
  std::shared_ptr<Mailbox> mailbox = At(index);
  if (!mailbox) return -1;
  std::scoped_lock guard(mailbox->lock);
  return mailbox->entry.MessageCount();
}

std::int64_t MailboxStore::MessageSize(int index, int position) const {
  std::shared_ptr<Mailbox> mailbox = At(index);
  if (!mailbox) return -1;
  std::scoped_lock guard(mailbox->lock);
  const CMailboxEntry& entry = mailbox->entry;
  if (position < 0 || position >= entry.MessageCount()) return -1;
  return entry.message_sizes[static_cast<std::size_t>(position)];
}

SpoolItem MailboxStore::OpenMessage(int index, int position) {
  std::shared_ptr<Mailbox> mailbox = At(index);
  if (!mailbox) return SpoolItem{};
  std::uint32_t number = 0;
  {
    std::scoped_lock guard(mailbox->lock);
    const CMailboxEntry& entry = mailbox->entry;
    if (position < 0 || position >= entry.MessageCount()) return SpoolItem{};
    number = entry.message_numbers[static_cast<std::size_t>(position)];
  }
  SpoolItem message;
  std::string error;
  if (message.file_.OpenLocked(layout_.Mailbox(mailbox->entry.number) / std::to_string(number),
                               Access::ReadOnly, error) != LockResult::Locked) {
    return SpoolItem{};
  }
  message.number_ = number;
  return message;
}

bool MailboxStore::MarkDeleted(int index, int position) {
  std::shared_ptr<Mailbox> mailbox = At(index);
  if (!mailbox) return false;
  std::scoped_lock guard(mailbox->lock);
  CMailboxEntry& entry = mailbox->entry;
  if (position < 0 || position >= entry.MessageCount()) return false;
  entry.deletion_marks[static_cast<std::size_t>(position)] = true;
  return true;
}

void MailboxStore::UnmarkAll(int index) {
  std::shared_ptr<Mailbox> mailbox = At(index);
  if (!mailbox) return;
  std::scoped_lock guard(mailbox->lock);
  std::fill(mailbox->entry.deletion_marks.begin(), mailbox->entry.deletion_marks.end(), false);
}

}  // namespace tarnhold
