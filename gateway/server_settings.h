// The settings and spool data manager: the one object the engine threads share, made of four
// parts with their own small locks: the registry settings, the spool queues, the mailbox store
// and the message identifiers. Every spool path comes from one SpoolLayout on the data root.
// An open SpoolItem belongs to the thread that holds it and is read and written without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/mailbox_store.h"
#include "gateway/message_id.h"
#include "gateway/queue_item.h"
#include "gateway/registry_settings.h"
#include "gateway/spool_item.h"
#include "gateway/spool_layout.h"
#include "gateway/spool_queue.h"

namespace tarnhold {

class CGatewayConfig;

class CServerSettings {
 public:
  // Every spool folder is under `data_root` (a registry RootPath naming another folder is
  // refused at start: see RegistrySettings::CheckRootPath).
  explicit CServerSettings(std::filesystem::path data_root);
  CServerSettings(const CServerSettings&) = delete;
  CServerSettings& operator=(const CServerSettings&) = delete;

  // ---- Registry settings -------------------------------------------------------------------

  // Reads section [Tarnhold] of `registry_file` (normally <root>/registry.dat). Returns 0 or the
  // kRegistry* bits: 1 the file or its section is missing (nothing else is read, every value
  // keeps its default), 2 RootPath, 4 NumberDomainNames, 8 a DomainName<n>, 16 NumberDNSNames,
  // 32 a DNSName<n> missing.
  int LoadRegistry(const std::filesystem::path& registry_file);
  // The registry file of a data root.
  [[nodiscard]] static std::filesystem::path RegistryFile(const std::filesystem::path& data_root);

  // Overwrites the four limits (the configuration file's SMTPMaxIn, SMTPMaxOut,
  // SMTPMaxRetries and SMTPRetryInterval replace the registry's at start-up).
  void SetLimits(int max_in, int max_out, int max_retries, int retry_interval_s);
  [[nodiscard]] int MaxIn() const;
  [[nodiscard]] int MaxOut() const;
  [[nodiscard]] int MaxRetries() const;
  [[nodiscard]] int RetryInterval() const;  // seconds
  // The folder the registry's RootPath names (the data root when it is empty). The spool is
  // always on Layout().Root(); CheckRootPath says whether the two agree.
  [[nodiscard]] std::filesystem::path RootPath() const;
  [[nodiscard]] RootPathCheck CheckRootPath() const;
  [[nodiscard]] std::string RootPathValue() const;
  [[nodiscard]] std::vector<std::string> DomainNames() const;
  [[nodiscard]] std::vector<std::string> DnsNames() const;

  // The configuration's local domains; the first (lower-cased) ends message identifiers.
  void SetLocalDomains(std::vector<std::string> local_domains);

  // Where the send picker reports an item whose stamp or attempts cannot be read (title
  // "Error", text "File Read Error"). Unset: a line in the SMTP delivery log. The reporter must
  // not block.
  using ReadErrorReporter = SpoolQueue::ReadErrorReporter;
  void SetReadErrorReporter(ReadErrorReporter reporter);
  // Reports an unreadable stamp or attempts count through the reporter (or the log).
  void ReportReadError();

  // ---- Queue items -------------------------------------------------------------------------

  // Creates queproc/<n>, locked before any other party can see it: n is 1 in an empty folder,
  // else one past the last number made, and never a number present (see ItemCounter). The
  // returned item is closed when no item could be made.
  [[nodiscard]] SpoolItem NewProcessingItem();

  // Writes the whole header at the start of the item with the current time as stamp; the item
  // is left positioned at the start of the message text. 0 or kWrite* bits (queue_item.h).
  [[nodiscard]] int WriteHeader(SpoolItem& item, std::string_view recipient,
                                std::string_view sender, std::uint32_t attempts,
                                std::uint32_t return_kind);
  // Rewrites stamp (now), attempts and return kind in place. 0 or bits 1, 2, 4, 128.
  [[nodiscard]] int UpdateHeader(SpoolItem& item, std::uint32_t attempts,
                                 std::uint32_t return_kind);
  // Reads the header; the item is left positioned at the message text. 0 or kRead* bits.
  [[nodiscard]] int ReadHeader(SpoolItem& item, QueueItemHeader& header,
                               std::size_t recipient_size = kAddressBufferSize,
                               std::size_t sender_size = kAddressBufferSize);

  // Makes a new processing item with the source's sender, attempts and return kind and the
  // given recipient, copies the source's message text into it (MakeRecipientCopy), flushes it
  // to disk when asked, and closes it. The source keeps its position.
  // 0 done; 1 no item could be made; 2 the source could not be read or the copy not written
  // (the half copy is deleted).
  [[nodiscard]] int CopyItemForRecipient(SpoolItem& source, std::string_view recipient,
                                         Flush flush = Flush::Yes);

  // Writes `count` bytes at the item's position. Returns `count`, or 0 on failure (after a
  // line in the SMTP receiver log in place of the original system beep).
  std::size_t WriteData(SpoolItem& item, const void* bytes, std::size_t count);
  // Reads up to `size` bytes at the item's position: the count, 0 at the end or on error.
  [[nodiscard]] std::size_t ReadBlock(SpoolItem& item, void* buffer, std::size_t size);

  // Forces the item's data and its folder entry to disk; call before acknowledging mail.
  [[nodiscard]] bool FlushToDisk(SpoolItem& item);

  // The first item of <root>/que, in ascending number order, that no other party holds and
  // that is due: attempts 0, or at least RetryInterval() seconds since its stamp. The item is
  // returned locked; a closed item means none qualifies.
  [[nodiscard]] SpoolItem NextSendItem();
  // The same, except that an item for which `hold` returns true is closed again and passed
  // over before its header is read: the delivery keeps items whose route failed from being
  // taken again at once. `hold` runs under the send pickers' lock and sees the item locked, its
  // number set.
  using SendItemFilter = SpoolQueue::SendItemFilter;
  [[nodiscard]] SpoolItem NextSendItem(const SendItemFilter& hold);

  // Closes the item; with OnClose::Delete its file is removed first (while still locked, so
  // nobody can take it in between). A new mailbox message is linked into its mailbox on Keep
  // and discarded on Delete. 0, or 1 when closing, deleting or linking failed.
  int CloseItem(SpoolItem& item, OnClose on_close = OnClose::Keep);

  // Writes <root>/stat/<number> whole: the client's address text, with no line end; with
  // Flush::Yes the file and its folder are on disk on return. False on failure, with the
  // system's reason in `error`.
  [[nodiscard]] bool WriteSourceInfo(std::uint32_t number, std::string_view address,
                                     std::string& error, Flush flush = Flush::No);
  // Reads <root>/stat/<number> into `address` (at most kMaxSourceInfoBytes). Absent: no such
  // file. Unreadable: it exists but could not be opened or read within kSourceInfoOpenTries.
  [[nodiscard]] SourceInfo ReadSourceInfo(std::uint32_t number, std::string& address) const;
  [[nodiscard]] std::filesystem::path SourceInfoPath(std::uint32_t number) const;

  // Number of entries of <root>/que that are not folders (the dial-up manager's queue count).
  [[nodiscard]] std::size_t SendQueueCount() const;

  // ---- Local mailboxes ---------------------------------------------------------------------
  // Mailbox indexes are the entries' positions in the table; message positions count from 0.

  // One entry per user, in order, each with the addresses whose account equals its account
  // (without regard to case). Replaces the table; mailboxes in use are forgotten.
  void BuildMailboxTable(const std::vector<LocalUser>& users,
                         const std::vector<AccountAddress>& addresses);
  // The same from the configuration's [POP3User<n>] records and their address pairs.
  void BuildMailboxTable(const CGatewayConfig& config);
  // The mailbox that takes mail no active user's address matches (DefaultPOP3LocalUserID).
  void SetDefaultMailbox(int number);
  // What the engine takes from the configuration at start-up: the four limits (SMTPMaxIn,
  // SMTPMaxOut, SMTPMaxRetries, SMTPRetryInterval), the local domains, the mailbox table and
  // the default mailbox.
  void ApplyConfiguration(const CGatewayConfig& config);
  [[nodiscard]] std::vector<CMailboxEntry> MailboxTable() const;

  // A new mailbox message for `address`: the mailbox of the first active user with a mailbox
  // name equal to the address's part before "@" (without regard to case), else the default
  // mailbox. The message has no name until it is closed with OnClose::Keep: it is then synced
  // and linked in as popstore/<m>/<k>, k from the mailbox's counter (1 in an empty mailbox, never
  // a number present), so a POP3 client never sees half a message. Closed item: the mailbox
  // folder cannot take it.
  [[nodiscard]] SpoolItem DeliverToMailbox(std::string_view address);

  // The index of the mailbox whose account and password equal these (without regard to case),
  // marked in use, with up to kMaxMailboxMessages of its messages listed (files another party
  // holds are skipped) and no deletion marks. -1: no such user or a wrong password; -2: the
  // mailbox is already in use.
  [[nodiscard]] int OpenMailbox(std::string_view account, std::string_view password);
  // Deletes the marked messages (one that cannot be deleted stays), clears the lists and the
  // in-use flag. Returns the number of messages that could not be deleted.
  int CloseMailbox(int index);
  // Listed messages, or -1 for a bad index.
  [[nodiscard]] int MessageCount(int index) const;
  // Size in bytes of message `position`, or -1 for a bad index or position.
  [[nodiscard]] std::int64_t MessageSize(int index, int position) const;
  // Message `position` opened for reading and locked; closed item when it cannot be opened.
  [[nodiscard]] SpoolItem OpenMessage(int index, int position);
  // 0, or -1 for a bad index or position.
  int MarkDeleted(int index, int position);
  void UnmarkAll(int index);

  // Reads the next line of an open message into `buffer` (zero-terminated, at most size - 1
  // bytes): the line ends at CR, LF or CR LF and the file is left right after that line end.
  // Returns the line's length; 0 for an empty line, at the end of the file and for a last line
  // without a line end; -1 when reading fails. A line longer than the buffer comes back in
  // pieces of size - 1 bytes. `complete`, when given, is set when the bytes returned ended
  // with a line end: so 0 with `complete` set is an empty line, 0 without it the end, and a
  // piece of a longer line comes back without it.
  [[nodiscard]] int ReadLine(SpoolItem& message, char* buffer, std::size_t size,
                             bool* complete = nullptr);
  // The value of the first "Message-Id:" header line (name compared without regard to case),
  // blanks after the colon skipped; when the line holds nothing more, the next (folded) line
  // without its leading blanks. Cut to `size` - 1 bytes. 0 found, 1 not found. Reads from the
  // start of the message and stops at the end of the header.
  [[nodiscard]] int FindMessageId(SpoolItem& message, std::string& value,
                                  std::size_t size = kMessageIdLineSize);

  // ---- Message identifiers -----------------------------------------------------------------

  // "<" UTC year month day hour minute second millisecond (decimal, no leading zeros), twelve
  // random letters A to Y, "@", the first local domain or kPlaceholderDomain, ">".
  // Writes it zero-terminated into `buffer`: 0, or 1 (nothing written) when `size` is below
  // kMessageIdBufferSize or the identifier would not fit.
  [[nodiscard]] int MakeMessageId(char* buffer, std::size_t size) const;
  [[nodiscard]] std::string MakeMessageId() const;

 // ---- The parts, for callers that need only one ---------------------------------------------
  [[nodiscard]] const SpoolLayout& Layout() const { return layout_; }
  [[nodiscard]] RegistrySettings& Registry() { return registry_; }
  [[nodiscard]] SpoolQueue& Queue() { return queue_; }
  [[nodiscard]] MailboxStore& Mailboxes() { return mailboxes_; }

 private:
  const SpoolLayout layout_;
  RegistrySettings registry_;
  SpoolQueue queue_;
  MailboxStore mailboxes_;
  MessageIdSource message_ids_;
};

}  // namespace tarnhold
