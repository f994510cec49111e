// The engine's effects: generated mail and resubmissions through the gateway's own SMTP
// receiver on 127.0.0.1 (port SMTPInPort, HELO "local"), copies and moves in the data root,
// disclaimers through the message file, and the bandwidth log. An item is moved or deleted
// only with its lock taken, so a party that holds it (the queue manager) is never overtaken.
#pragma once

#include <filesystem>

#include "gateway/gateway_config.h"
#include "message/gateway_message_file.h"
#include "platform/wake_event.h"
#include "sweeper/item_effects.h"
#include "transport/smtp_client.h"

namespace tarnhold {

class LiveEffects : public ItemEffects {
 public:
  // `item`: the queue item being swept; `message`: the message file that read it; `send_wake`
  // (may be null) is notified whenever an item enters the send queue.
  LiveEffects(const CGatewayConfig& config, std::filesystem::path item,
              CGatewayMessageFile& message, WakeEvent* send_wake);

  int SendLocalMail(const LocalMail& mail) override;
  bool ForwardCopy(std::string_view recipient) override;
  DisclaimerResult AddTextDisclaimer(const std::filesystem::path& file) override;
  DisclaimerResult AddHtmlDisclaimer(const std::filesystem::path& file) override;
  void Pause(std::chrono::milliseconds pause) override;
  std::int64_t ItemSize() override;
  void WriteBandwidthRecord(std::string_view record) override;
  void SaveArchiveCopy(const std::filesystem::path& folder) override;
  bool ConnectLocal() override;
  int SendResubmission(const Resubmission& message) override;
  void CloseLocal() override;
  std::optional<std::uint32_t> MoveItem(const std::filesystem::path& folder, std::uint32_t start,
                                        std::string& error) override;
  bool DeleteItem() override;

 private:
  void EnteredSendQueue(const std::filesystem::path& folder);

  const CGatewayConfig& config_;
  std::filesystem::path item_;
  CGatewayMessageFile& message_;
  WakeEvent* send_wake_;
  CSmtpClient client_;
};

}  // namespace tarnhold
