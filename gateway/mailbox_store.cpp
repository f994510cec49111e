// CServerSettings: the local mailboxes: the mailbox table, new messages, POP3 access.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "gateway/server_settings.h"
#include "platform/profile_file.h"
#include "platform/spool_folder.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr std::size_t kMailboxNameLength = 255;
constexpr std::uint32_t kLargestMessageNumber = 999'999'999;

enum class LineStatus { Line, End, Error };

struct ReadLineResult {
  LineStatus status = LineStatus::End;
  bool complete = false;  // the line ended with CR, LF or CR LF (not a piece, not the last)
};

// Reads the next line of `file` into `line` (at most `cap` bytes) and leaves the file right
// after its line end. A line longer than `cap` comes back in pieces (complete = false).
ReadLineResult NextLine(LockedFile& file, std::string& line, std::size_t cap) {
  line.clear();
  const std::int64_t start = file.Position();
  if (start < 0) return {LineStatus::Error, false};
  std::string buf(cap + 2, '\0');  // the line, its CR and the LF after it
  long n = file.Read(buf.data(), buf.size());
  if (n < 0) return {LineStatus::Error, false};
  if (n == 0) return {LineStatus::End, false};
  const auto got = static_cast<std::size_t>(n);
  const std::size_t scan = std::min(got, cap + 1);
  const std::size_t end = buf.find_first_of("\r\n", 0);
  if (end < scan) {
    std::size_t next = end + 1;
    if (buf[end] == '\r' && next < got && buf[next] == '\n') ++next;
    line.assign(buf.data(), end);
    if (!file.Seek(start + static_cast<std::int64_t>(next))) return {LineStatus::Error, false};
    return {LineStatus::Line, true};
  }
  if (got <= cap) {  // the file ends inside this line: the last line has no line end
    (void)file.Seek(start + n);
    return {LineStatus::End, false};
  }
  line.assign(buf.data(), cap);
  if (!file.Seek(start + static_cast<std::int64_t>(cap))) return {LineStatus::Error, false};
  return {LineStatus::Line, false};
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view SkipBlanks(std::string_view s) {
  std::size_t first = s.find_first_not_of(" \t");
  return first == std::string_view::npos ? std::string_view() : s.substr(first);
}

}  // namespace

void CServerSettings::BuildMailboxTable(const std::vector<LocalUser>& users,
                                        const std::vector<AccountAddress>& addresses) {
  std::scoped_lock guard(lock_);
  mailboxes_.clear();
  for (const LocalUser& user : users) {
    CMailboxEntry entry;
    entry.account = user.account;
    entry.password = user.password;
    entry.active = user.active;
    entry.number = static_cast<int>(mailboxes_.size());
    for (const AccountAddress& pair : addresses) {
      if (EqualsNoCase(pair.account, user.account)) entry.addresses.push_back(pair.address);
    }
    mailboxes_.push_back(std::move(entry));
  }
}

void CServerSettings::SetDefaultMailbox(int number) {
  std::scoped_lock guard(lock_);
  default_mailbox_ = number;
}

std::vector<CMailboxEntry> CServerSettings::MailboxTable() const {
  std::scoped_lock guard(lock_);
  return mailboxes_;
}

fs::path CServerSettings::MailboxFolder(int number) const {
  return Folder("popstore") / std::to_string(number);
}

CMailboxEntry* CServerSettings::Entry(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= mailboxes_.size()) return nullptr;
  return &mailboxes_[static_cast<std::size_t>(index)];
}

const CMailboxEntry* CServerSettings::Entry(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= mailboxes_.size()) return nullptr;
  return &mailboxes_[static_cast<std::size_t>(index)];
}

SpoolItem CServerSettings::DeliverToMailbox(std::string_view address) {
  std::scoped_lock guard(lock_);
  std::string_view name = address.substr(0, address.find('@'));
  name = name.substr(0, std::min(name.size(), kMailboxNameLength));
  int mailbox = default_mailbox_;
  for (const CMailboxEntry& entry : mailboxes_) {
    if (!entry.active) continue;
    auto match = [&](const std::string& a) { return EqualsNoCase(a, name); };
    if (std::any_of(entry.addresses.begin(), entry.addresses.end(), match)) {
      mailbox = entry.number;
      break;
    }
  }
  SpoolItem message;
  if (mailbox < 0) return message;
  std::string error;
  fs::path folder = MailboxFolder(mailbox);
  if (message.file_.CreateUnnamed(folder, error) != CreateResult::Created) return SpoolItem{};
  message.pending_folder_ = folder;
  return message;
}

bool CServerSettings::CommitMailboxMessage(SpoolItem& message) {
  // The message reaches the disk before it gets its name, so a delivery that deletes its queue
  // item after this never loses the mail.
  if (::fsync(message.file_.Fd()) != 0) return false;
  const fs::path& folder = message.pending_folder_;
  std::uint32_t k = LargestItemNumber(folder) + 1;
  for (int tries = 0; tries < kMailboxNumberTries && k <= kLargestMessageNumber; ++tries, ++k) {
    std::string error;
    switch (message.file_.LinkAs(folder / std::to_string(k), error)) {
      case CreateResult::Created:
        message.number_ = k;
        return SyncFolder(folder);
      case CreateResult::Exists: continue;
      case CreateResult::Failed: return false;
    }
  }
  return false;
}

int CServerSettings::OpenMailbox(std::string_view account, std::string_view password) {
  std::scoped_lock guard(lock_);
  for (CMailboxEntry& entry : mailboxes_) {
    if (!EqualsNoCase(entry.account, account) || !EqualsNoCase(entry.password, password)) continue;
    if (entry.in_use) return -2;
    entry.in_use = true;
    ListMailbox(entry);
    return entry.number;
  }
  return -1;
}

void CServerSettings::ListMailbox(CMailboxEntry& entry) {
  entry.message_numbers.clear();
  entry.deletion_marks.clear();
  entry.message_sizes.clear();
  const fs::path folder = MailboxFolder(entry.number);
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

int CServerSettings::CloseMailbox(int index) {
  std::scoped_lock guard(lock_);
  CMailboxEntry* entry = Entry(index);
  if (entry == nullptr) return 0;
  int failures = 0;
  const fs::path folder = MailboxFolder(entry->number);
  for (std::size_t i = 0; i < entry->message_numbers.size(); ++i) {
    if (!entry->deletion_marks[i]) continue;
    std::string error;
    if (DeleteUnheldItem(folder / std::to_string(entry->message_numbers[i]), error) !=
        DeleteResult::Deleted) {
      ++failures;
    }
  }
  entry->message_numbers.clear();
  entry->deletion_marks.clear();
  entry->message_sizes.clear();
  entry->in_use = false;
  return failures;
}

int CServerSettings::MessageCount(int index) const {
  std::scoped_lock guard(lock_);
  const CMailboxEntry* entry = Entry(index);
  return entry ? entry->MessageCount() : -1;
}

std::int64_t CServerSettings::MessageSize(int index, int position) const {
  std::scoped_lock guard(lock_);
  const CMailboxEntry* entry = Entry(index);
  if (entry == nullptr || position < 0 || position >= entry->MessageCount()) return -1;
  return entry->message_sizes[static_cast<std::size_t>(position)];
}

SpoolItem CServerSettings::OpenMessage(int index, int position) {
  std::scoped_lock guard(lock_);
  const CMailboxEntry* entry = Entry(index);
  SpoolItem message;
  if (entry == nullptr || position < 0 || position >= entry->MessageCount()) return message;
  std::uint32_t number = entry->message_numbers[static_cast<std::size_t>(position)];
  std::string error;
  if (message.file_.OpenLocked(MailboxFolder(entry->number) / std::to_string(number),
                               Access::ReadOnly, error) != LockResult::Locked) {
    return SpoolItem{};
  }
  message.number_ = number;
  return message;
}

int CServerSettings::MarkDeleted(int index, int position) {
  std::scoped_lock guard(lock_);
  CMailboxEntry* entry = Entry(index);
  if (entry == nullptr || position < 0 || position >= entry->MessageCount()) return -1;
  entry->deletion_marks[static_cast<std::size_t>(position)] = true;
  return 0;
}

void CServerSettings::UnmarkAll(int index) {
  std::scoped_lock guard(lock_);
  if (CMailboxEntry* entry = Entry(index)) {
    std::fill(entry->deletion_marks.begin(), entry->deletion_marks.end(), false);
  }
}

int CServerSettings::ReadLine(SpoolItem& message, char* buffer, std::size_t size,
                              bool* complete) {
  if (complete != nullptr) *complete = false;
  if (!message.IsOpen() || buffer == nullptr || size < 2) return -1;
  std::string line;
  ReadLineResult r = NextLine(message.file_, line, size - 1);
  if (r.status == LineStatus::Error) return -1;
  if (complete != nullptr) *complete = r.status == LineStatus::Line && r.complete;
  std::memcpy(buffer, line.data(), line.size());
  buffer[line.size()] = '\0';
  return r.status == LineStatus::End ? 0 : static_cast<int>(line.size());
}

int CServerSettings::FindMessageId(SpoolItem& message, std::string& value, std::size_t size) {
  value.clear();
  if (!message.IsOpen() || size < 2 || !message.file_.Seek(0)) return 1;
  constexpr std::string_view kField = "Message-Id:";
  std::string line;
  bool at_line_start = true;
  for (;;) {
    ReadLineResult r = NextLine(message.file_, line, kMessageIdLineSize - 1);
    if (r.status != LineStatus::Line) return 1;
    if (at_line_start && line.empty()) return 1;  // the end of the header
    if (at_line_start && StartsWithNoCase(line, kField)) {
      std::string_view text = SkipBlanks(std::string_view(line).substr(kField.size()));
      std::string folded;
      if (text.empty() && r.complete &&
          NextLine(message.file_, folded, kMessageIdLineSize - 1).status == LineStatus::Line &&
          !folded.empty() && (folded[0] == ' ' || folded[0] == '\t')) {
        text = SkipBlanks(folded);
      }
      value.assign(text.substr(0, std::min(text.size(), size - 1)));
      return 0;
    }
    at_line_start = r.complete;
  }
}

}  // namespace tarnhold
