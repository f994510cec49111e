#include "sweeper/live_effects.h"

#include <thread>

#include "gateway/activity_log.h"
#include "message/uu_file_list.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "transport/local_mail.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr const char* kLocalHost = "127.0.0.1";
constexpr const char* kLocalHelo = "local";

// The message file's disclaimer codes: 1 added, 0 no HTML part, -1 a file error.
DisclaimerResult FromDisclaimerCode(int code) {
  switch (code) {
    case 1:
      return DisclaimerResult::Added;
    case 0:
      return DisclaimerResult::NoHtmlPart;
    default:
      return DisclaimerResult::FileError;
  }
}

}  // namespace

LiveEffects::LiveEffects(const CGatewayConfig& config, fs::path item, CGatewayMessageFile& message,
                         WakeEvent* send_wake)
    : config_(config), item_(std::move(item)), message_(message), send_wake_(send_wake) {}

void LiveEffects::EnteredSendQueue(const fs::path& folder) {
  if (send_wake_ != nullptr && folder == config_.Layout().Send()) send_wake_->Notify();
}

int LiveEffects::SendLocalMail(const LocalMail& mail) {
  return tarnhold::SendLocalMail(config_.SMTPInPort, mail.to, mail.from, mail.subject, mail.text,
                                 mail.text_file);
}

bool LiveEffects::ForwardCopy(std::string_view recipient) {
  const fs::path que = config_.Layout().Send();
  std::string error;
  // The copy is made and rewritten under a hidden name: the delivery never sees it half done.
  auto copy = CopyToHidden(item_, que, error);
  if (!copy) return false;
  bool placed = CGatewayMessageFile::RewriteRecipient(*copy, recipient) == 0 &&
                MoveToFreeNumber(*copy, que, error).has_value();
  std::error_code ec;
  if (!placed) {
    fs::remove(*copy, ec);
    return false;
  }
  EnteredSendQueue(que);
  return true;
}

DisclaimerResult LiveEffects::AddTextDisclaimer(const fs::path& file) {
  return FromDisclaimerCode(message_.AddTextDisclaimer(file));
}

DisclaimerResult LiveEffects::AddHtmlDisclaimer(const fs::path& file) {
  return FromDisclaimerCode(message_.AddHtmlDisclaimer(file));
}

void LiveEffects::Pause(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

std::int64_t LiveEffects::ItemSize() {
  std::error_code ec;
  auto size = fs::file_size(item_, ec);
  return ec ? 0 : static_cast<std::int64_t>(size);
}

void LiveEffects::WriteBandwidthRecord(std::string_view record) { BandwidthLogLine(record); }

void LiveEffects::SaveArchiveCopy(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  std::string error;
  (void)CopyIntoFolder(item_, folder, error);  // a failed copy is not reported
}

bool LiveEffects::ConnectLocal() {
  return client_.Connect(kLocalHost, kLocalHelo, config_.SMTPInPort) == kSmtpConnected;
}

int LiveEffects::SendResubmission(const Resubmission& message) {
  CUuFileList files;
  for (const auto& file : message.files) (void)files.AddFile(file);  // unreadable: left out
  client_.ClearExtraHeaders();
  for (const std::string& line : message.headers) client_.AddExtraHeader(line);
  return client_.SendWithFiles(message.recipient, message.sender, message.subject, message.body,
                               message.cc, files);
}

void LiveEffects::CloseLocal() { client_.Close(); }

std::optional<std::uint32_t> LiveEffects::MoveItem(const fs::path& folder, std::uint32_t start,
                                                   std::string& error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  LockedFile held;
  switch (held.OpenLocked(item_, Access::ReadOnly, error)) {
    case LockResult::Locked:
      break;
    case LockResult::Busy:
      error = item_.string() + " is held by another program";
      return std::nullopt;
    case LockResult::Failed:
      return std::nullopt;
  }
  auto n = MoveToFreeNumber(item_, folder, error, 100, start);
  held.Close();  // before the delivery is woken: it must find the item free
  if (n) {
    item_ = folder / std::to_string(*n);
    EnteredSendQueue(folder);
  }
  return n;
}

bool LiveEffects::DeleteItem() {
  std::string error;
  return DeleteUnheldItem(item_, error) == DeleteResult::Deleted;
}

}  // namespace tarnhold
