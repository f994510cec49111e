#include "sweeper/message_facts.h"

#include <algorithm>

namespace tarnhold {

bool IsHtmlBodyFile(const std::filesystem::path& attachment) {
  return attachment.filename() == kHtmlBodyName;
}

std::vector<std::filesystem::path> OuterAttachments(const MessageFacts& message) {
  std::vector<std::filesystem::path> outer;
  for (const auto& file : message.attachments) {
    if (std::find(message.inner_parts.begin(), message.inner_parts.end(), file) ==
        message.inner_parts.end()) {
      outer.push_back(file);
    }
  }
  return outer;
}

MessageFacts FactsOf(const CGatewayMessageFile& message, std::string source_ip,
                     std::int64_t item_size) {
  MessageFacts facts;
  facts.item_path = message.ItemPath();
  facts.envelope_recipient = message.Recipient();
  facts.envelope_sender = message.Sender();
  facts.message_id = message.MessageId();
  facts.to = message.To();
  facts.cc = message.Cc();
  facts.from = message.From();
  facts.subject = message.Subject();
  facts.date = message.Date();
  facts.body = message.Body();
  if (message.SubjectText() != message.Subject()) facts.subject_text = message.SubjectText();
  facts.body_text = message.BodyText();
  facts.attachments = message.Attachments();
  facts.content_types = message.ContentTypes();
  facts.inner_parts = message.InnerParts();
  facts.has_zip = message.HasZip();
  facts.zip_encrypted = message.ZipEncrypted();
  facts.zip_with_paths = message.ZipWithPaths();
  facts.attachment_vanished = message.AttachmentVanished();
  facts.received = message.ReceivedList();
  facts.auto_submitted = message.AutoSubmitted();
  facts.precedence = message.Precedence();
  facts.source_ip = std::move(source_ip);
  facts.item_size = item_size;
  return facts;
}

}  // namespace tarnhold
