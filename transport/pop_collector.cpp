#include "transport/pop_collector.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <exception>
#include <system_error>

#include "gateway/activity_log.h"
#include "gateway/metrics.h"
#include "gateway/queue_item.h"
#include "message/gateway_message_file.h"
#include "message/mail_address.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "transport/dot_stuffing.h"
#include "transport/pop3_client.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr std::size_t kCopyBlock = 64 * 1024;
constexpr int kMaxIntervalMinutes = 7 * 24 * 60;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

const char* ConnectFailureLine(int rc) {
  switch (rc) {
    case kPop3HostUnresolved:
      return "unable to resolve the server address";
    case kPop3NoConnection:
      return "connection to the server failed";
    case kPop3UserRefused:
      return "user command timed out or rejected ";
    case kPop3PassRefused:
      return "password command timed out or rejected";
    default:
      return "an unknown error has occured";
  }
}

const char* RetrieveFailureLine(int rc) {
  switch (rc) {
    case kPop3NotConnected:
      return "ERROR: Not Connected";
    case kRetrFileFailed:
      return "ERROR: Not able to open file for writing";
    case kRetrNoReply:
      return "ERROR: RETR command has timed out without a response from the server";
    case kRetrNegative:
      return "ERROR: No positive reponse from the server";
    case kRetrDataStopped:
      return "ERROR: Timed out while receiving parts of the message";
    default:
      return "ERROR: User canceled the Save to file process";
  }
}

std::string TooLargeLine(std::uint32_t n, std::uint64_t max_bytes) {
  return "ERROR: Message " + std::to_string(n) + " is larger than the limit of " +
         std::to_string(max_bytes / 1024) + " KB; it stays on the server";
}

std::string WorkFileLine(const fs::path& path, const std::string& error) {
  return "ERROR: Cannot write the work file " + path.string() + " (" + error +
         "); the batch ends and the message stays on the server";
}

// The message text of a queue item is the SMTP data stream as a receiver takes it: every line
// that begins with "." carries a second one, and the "." line ends it. The downloaded text had
// its POP3 dots taken out, so they go back in here, or a line "." inside the message would end
// it early at delivery and a leading dot would be lost. A bare LF becomes CR LF and a "." after
// a bare CR is doubled too, as the receiver stores them, so that no server after the gateway
// can read an early end of data into the message. Appends `text` to `item` in that form.
bool AppendAsDataStream(LockedFile& text, LockedFile& item, std::string& error) {
  DotStuffer stuffer(DataForm::Text);
  std::string block(kCopyBlock, '\0');
  std::string out;
  std::string tail = "\r\n";  // the data follows the DATA command's CR LF
  long n = 0;
  while ((n = text.Read(block.data(), block.size())) > 0) {
    out.clear();
    stuffer.Transform(std::string_view(block.data(), static_cast<std::size_t>(n)), out);
    if (!item.WriteAll(out.data(), out.size())) {
      error = "cannot copy the message into it";
      return false;
    }
    tail = out.size() >= 2 ? out.substr(out.size() - 2) : (tail + out).substr(out.size());
  }
  if (n < 0) {
    error = "cannot read the downloaded message";
    return false;
  }
  // Its last line ended by CR LF, then the "." line: an item without that ending would be
  // taken for an interrupted transfer.
  std::string ending = tail == "\r\n" ? ".\r\n" : "\r\n.\r\n";
  if (!item.WriteAll(ending.data(), ending.size())) {
    error = "cannot end the message";
    return false;
  }
  return true;
}

}  // namespace

std::string DetectRecipient(const std::vector<std::string>& found, int mode, int header_number,
                            const std::vector<std::string>& local_domains) {
  if (found.empty()) return "";
  if (mode == 1) {
    std::size_t at = static_cast<std::size_t>(std::max(header_number, 1));
    return found[std::min(at, found.size()) - 1];
  }
  std::string recipient;
  for (const std::string& address : found) {
    std::string domain = Lower(DomainOf(address));
    if (std::find(local_domains.begin(), local_domains.end(), domain) != local_domains.end()) {
      recipient = address;
    }
  }
  return recipient;
}

CPopCollector::CPopCollector(fs::path root, ConfigSource config, CollectionState& state)
    : layout_(std::move(root)),
      config_(std::move(config)),
      state_(state),
      reply_timeout_s_(kPop3ReplyTimeoutS) {}

CPopCollector::~CPopCollector() { Stop(); }

void CPopCollector::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::jthread([this] { Run(); });
}

void CPopCollector::RequestStop() {
  stop_ = true;
  sleep_.Notify();
}

void CPopCollector::Stop() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

void CPopCollector::Run() {
  while (!stop_) {
    std::shared_ptr<const CGatewayConfig> config = config_();
    PopBatchResult result;
    try {
      result = RunBatch(*config);
    } catch (const std::exception& e) {
      // Whatever a library throws ends this batch, never the collection.
      state_.SetRunning(false);
      Pop3LogLine(std::string("ERROR: the batch ended early: ") + e.what());
      result.work_failed = true;
    }
    if (stop_) break;
    std::chrono::milliseconds pause = PauseAfter(*config, result);
    if (pause.count() > 0) (void)sleep_.WaitFor(pause);
  }
}

std::chrono::milliseconds CPopCollector::PauseAfter(const CGatewayConfig& config,
                                                    const PopBatchResult& result) const {
  if (config.POP3DownloadInterval > 0) {
    // A week is as long as any wait gets: the clock arithmetic of a longer one overflows.
    return std::chrono::minutes(std::min(config.POP3DownloadInterval, kMaxIntervalMinutes));
  }
  // Interval 0: the next batch at once while there is mail to collect.
  return result.collected > 0 && !result.work_failed ? std::chrono::milliseconds(0)
                                                     : idle_pause_;
}

PopBatchResult CPopCollector::RunBatch(const CGatewayConfig& config) {
  PopBatchResult result;
  state_.SetRunning(true);
  for (const CPopAccountRecord& account : config.pop_accounts) {
    if (stop_ || result.work_failed) break;
    CollectAccount(config, account, result);
  }
  Pop3LogLine("batch complete");
  state_.SetRunning(false);
  return result;
}

void CPopCollector::CollectAccount(const CGatewayConfig& config, const CPopAccountRecord& account,
                                   PopBatchResult& result) {
  Pop3LogLine("connecting: account " + account.Account + " on " + account.Host + " ...");
  CPop3Client client;
  client.SetStopFlag(&stop_);
  client.SetReplyTimeout(reply_timeout_s_);
  client.SetConnectTimeout(reply_timeout_s_);
  int rc = client.Connect(account.Host, account.Account, account.Password);
  if (rc != kPop3Connected) {
    Pop3LogLine(ConnectFailureLine(rc));
    return;
  }
  std::uint32_t count = 0;
  if (client.Count(count) != kPop3Ok) {
    Pop3LogLine("Could not receive number of messages");
    client.Close();
    return;
  }
  for (std::uint32_t n = 1; n <= count && !stop_; ++n) {
    if (CollectMessage(client, config, account, n, result) == Step::EndBatch) break;
    // A transfer that broke off took the connection with it: the rest waits for next time.
    if (!client.Connected()) break;
  }
  client.Close();
}

bool CPopCollector::TooLarge(CPop3Client& client, std::uint32_t n, std::uint64_t max_bytes) {
  std::uint64_t size = 0;
  // A server that gives no size is held to the bound while the message comes.
  return max_bytes > 0 && client.ListSize(n, size) == kPop3Ok && size > max_bytes;
}

CPopCollector::Step CPopCollector::CollectMessage(CPop3Client& client,
                                                  const CGatewayConfig& config,
                                                  const CPopAccountRecord& account,
                                                  std::uint32_t n, PopBatchResult& result) {
  const fs::path download = layout_.DownloadFile(n);
  std::error_code ec;
  fs::remove(download, ec);
  Pop3LogLine("Downloading " + std::to_string(n));
  const std::uint64_t max_bytes =
      config.POP3DownloadMaxSize > 0 ? std::uint64_t(config.POP3DownloadMaxSize) * 1024 : 0;
  if (TooLarge(client, n, max_bytes)) {
    Pop3LogLine(TooLargeLine(n, max_bytes));
    return Step::Next;
  }
  int rc = client.Retrieve(n, download, max_bytes);
  if (rc != kPop3Ok) {
    fs::remove(download, ec);
    Pop3LogLine(rc == kRetrTooLarge ? TooLargeLine(n, max_bytes) : RetrieveFailureLine(rc));
    if (rc != kRetrFileFailed) return Step::Next;
    result.work_failed = true;
    return Step::EndBatch;
  }
  std::string error;
  CGatewayMessageFile message(layout_.Temp());
  // An unreadable message still goes on: no recipient found, the default address gets it.
  (void)message.Read(download, ItemFormat::PlainMessage);
  message.FindRecipients(account.PrecedingText);
  std::string recipient = DetectRecipient(message.FoundRecipients(), account.RecipientDetectMode,
                                          account.RecipientHeaderNumber, config.local_domains);
  std::string sender =
      !message.ReturnPath().empty() ? message.ReturnPath() : ExtractAddress(message.From());
  message.Release();
  if (!recipient.empty()) {
    Pop3LogLine("OK delivery for " + recipient);
  } else {
    recipient = account.DefaultAddress;
    Pop3LogLine("Downloaded but could not detect recipient, will deliver to default (" +
                recipient + ")");
  }

  // The item is complete and on disk in the processing queue before the server forgets the
  // message: a crash in between gives a duplicate, never a loss.
  QueueResult queued = QueueItem(download, recipient, sender, error);
  fs::remove(download, ec);
  if (queued == QueueResult::Failed) {
    Pop3LogLine(WorkFileLine(layout_.DownloadHeader(), error));
    result.work_failed = true;
    return Step::EndBatch;
  }
  ++result.collected;
  CountEvent(Counter::Pop3MessagesCollected);
  if (queue_wake_ != nullptr) queue_wake_->Notify();
  if (queued == QueueResult::NotSynced) {
    Pop3LogLine("ERROR: The queue folder could not be forced to disk; message " +
                std::to_string(n) + " stays on the server");
  } else if (client.Delete(n) != kPop3Ok) {
    Pop3LogLine("ERROR: Could not delete message " + std::to_string(n) +
                " on the server; it will be collected again");
  }
  return Step::Next;
}

CPopCollector::QueueResult CPopCollector::QueueItem(const fs::path& download, std::string_view recipient,
                              std::string_view sender, std::string& error) {
  const fs::path work = layout_.DownloadHeader();
  std::error_code ec;
  fs::remove(work, ec);
  LockedFile item;
  if (item.CreateLocked(work, error) != CreateResult::Created) {
    if (error.empty()) error = "the name is taken";
    return QueueResult::Failed;
  }
  auto now = static_cast<std::uint32_t>(std::time(nullptr));
  if (WriteQueueItemHeader(item, recipient, sender, 0, kReturnNone, now) != 0) {
    error = "cannot write the item header";
    fs::remove(work, ec);
    return QueueResult::Failed;
  }
  LockedFile text;
  if (text.OpenLocked(download, Access::ReadOnly, error) != LockResult::Locked) {
    fs::remove(work, ec);
    return QueueResult::Failed;
  }
  // Only the data is forced here: the entry that counts is the one in the processing queue,
  // forced after the move.
  if (!AppendAsDataStream(text, item, error) || ::fdatasync(item.Fd()) != 0 || !item.Close()) {
    if (error.empty()) error = "cannot force it to disk";
    fs::remove(work, ec);
    return QueueResult::Failed;
  }
  auto number = MoveToFreeNumber(work, layout_.Processing(), error);
  if (!number) {
    fs::remove(work, ec);
    return QueueResult::Failed;
  }
  return SyncFolder(layout_.Processing()) ? QueueResult::OnDisk : QueueResult::NotSynced;
}

}  // namespace tarnhold
