// The local mailbox store: the mailbox table built from the configuration, new messages linked
// into popstore/<m> under a kept counter, and the POP3 sessions' view of a mailbox (listing,
// sizes, deletion marks). Each mailbox has its own small lock and the table another; no lock
// is held while a folder is listed or a message is created, linked or deleted, so a login, a
// delivery and a session never wait for each other's disk work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/spool_item.h"
#include "gateway/spool_layout.h"
#include "gateway/spool_queue.h"
#include "platform/item_counter.h"

namespace tarnhold {

class CGatewayConfig;

// Most messages listed when a mailbox is opened; the rest wait for the next connection.
inline constexpr int kMaxMailboxMessages = 512;
// Numbers tried after the next one is found taken when a new mailbox message is named.
inline constexpr int kMailboxNumberTries = 100;
// Bytes read per line by FindMessageId.
inline constexpr std::size_t kMessageIdLineSize = 512;

// One local user as the configuration holds it (a [POP3User<n>] record).
struct LocalUser {
  std::string account;
  std::string password;
  bool active = false;  // Active = 1
};

// One (account, mailbox address) pair of the configuration's EmailAddress<n> keys.
struct AccountAddress {
  std::string account;
  std::string address;
};

// One local mailbox: the user's identity, its mailbox names and, while a POP3 client has it
// open, the listed messages. `number` is the mailbox folder popstore/<number>.
struct CMailboxEntry {
  std::string account;
  std::string password;
  bool active = false;
  std::vector<std::string> addresses;
  std::vector<std::uint32_t> message_numbers;
  std::vector<bool> deletion_marks;
  std::vector<std::int64_t> message_sizes;
  bool in_use = false;
  int number = 0;

  [[nodiscard]] int AddressCount() const { return static_cast<int>(addresses.size()); }
  [[nodiscard]] int MessageCount() const { return static_cast<int>(message_numbers.size()); }
};

// A login: Opened with the mailbox index; NoSuchUser (no such account or a wrong password);
// InUse (another session has the mailbox open).
enum class LoginResult { Opened, NoSuchUser, InUse };
struct MailboxLogin {
  LoginResult result = LoginResult::NoSuchUser;
  int index = -1;
};

class MailboxStore {
 public:
  explicit MailboxStore(const SpoolLayout& layout);
  MailboxStore(const MailboxStore&) = delete;
  MailboxStore& operator=(const MailboxStore&) = delete;

  // Mailbox indexes are the entries' positions in the table; message positions count from 0.
  // Replaces the table (mailboxes in use are forgotten): one entry per user, each with the
  // addresses whose account equals its account (without regard to case).
  void BuildTable(const std::vector<LocalUser>& users,
                  const std::vector<AccountAddress>& addresses);
  void BuildTable(const CGatewayConfig& config);
  void SetDefaultMailbox(int number);
  [[nodiscard]] std::vector<CMailboxEntry> Table() const;

  // A new unnamed message in the mailbox `address` belongs to (see CServerSettings).
  [[nodiscard]] SpoolItem Deliver(std::string_view address);
  // Ends a new message: Keep syncs it and links it in under the mailbox's next number;
  // Delete discards it.
  [[nodiscard]] CloseResult CloseMessage(SpoolItem& message, OnClose on_close);

  [[nodiscard]] MailboxLogin Open(std::string_view account, std::string_view password);
  // Deletes the marked messages and ends the session; the count of messages not deleted.
  int Close(int index);
  [[nodiscard]] int MessageCount(int index) const;                        // -1: bad index
  [[nodiscard]] std::int64_t MessageSize(int index, int position) const;  // -1: bad
  [[nodiscard]] SpoolItem OpenMessage(int index, int position);
  [[nodiscard]] bool MarkDeleted(int index, int position);
  void UnmarkAll(int index);

  // Line reading and the Message-Id look-up of an open message (see CServerSettings).
  [[nodiscard]] int ReadLine(SpoolItem& message, char* buffer, std::size_t size,
                             bool* complete) const;
  [[nodiscard]] int FindMessageId(SpoolItem& message, std::string& value, std::size_t size) const;

 private:
  // A table entry with its own lock over the session state (in_use and the lists).
  struct Mailbox {
    mutable std::mutex lock;
    CMailboxEntry entry;
  };

  [[nodiscard]] std::shared_ptr<Mailbox> At(int index) const;
  [[nodiscard]] ItemCounter& Counter(const std::filesystem::path& folder);
  [[nodiscard]] bool Commit(SpoolItem& message);
  void List(CMailboxEntry& entry) const;

  const SpoolLayout& layout_;
  mutable std::mutex table_lock_;
  std::vector<std::shared_ptr<Mailbox>> mailboxes_;
  int default_mailbox_ = 0;
  // One numbering counter per mailbox folder, kept across table rebuilds.
  std::mutex counters_lock_;
  std::map<std::filesystem::path, std::unique_ptr<ItemCounter>> counters_;
};

}  // namespace tarnhold
