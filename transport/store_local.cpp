// StoreLocal: one queue item into a local mailbox served by the POP3 server.
#include <string>
#include <vector>

#include "gateway/activity_log.h"
#include "gateway/server_settings.h"
#include "gateway/spool_item.h"
#include "transport/smtp_date.h"
#include "transport/smtp_delivery.h"

namespace tarnhold {

StoreResult StoreLocal(const SendItemData& data) {
  CServerSettings& settings = data.settings;
  // The new message has no name until it is closed and kept: a POP3 client never sees it
  // half written, and a failure below leaves nothing behind.
  SpoolItem message = settings.DeliverToMailbox(data.recipient);
  if (!message.IsOpen()) {
    SmtpOutLogLine("Error: CreateUserFile Failed");
    return StoreResult::NotStored;
  }
  bool ok = true;
  if (data.return_kind != kReturnNone) {
    std::string banner = ReturnedMailBanner(data.return_kind, settings.MakeMessageId(),
                                            data.recipient, data.sender, SmtpDate());
    ok = banner.empty() || settings.WriteData(message, banner.data(), banner.size()) != 0;
  }
  ok = ok && data.item.File().Seek(data.text_offset);
  std::vector<char> block(kSendReadBlockBytes);
  for (long n = 0; ok && (n = data.item.File().Read(block.data(), block.size())) != 0;) {
    ok = n > 0 && settings.WriteData(message, block.data(), static_cast<std::size_t>(n)) != 0;
  }
  if (settings.CloseItem(message, ok ? OnClose::Keep : OnClose::Delete) != 0) ok = false;
  return ok ? StoreResult::Stored : StoreResult::NotStored;
}

}  // namespace tarnhold
