// What the rules see of one queue item: the envelope, the header values they read, the body,
// the attachment files that the message reader saved, the content types of the parts, the ZIP
// flags, the source IP and the size of the item file. Filled once per item from the message
// reader; the rule walk, the checks and the rebuild read nothing else of the message.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "message/gateway_message_file.h"

namespace tarnhold {

struct MessageFacts {
  std::filesystem::path item_path;
  std::string envelope_recipient;
  std::string envelope_sender;
  // Header values: all lower-cased except `date`; empty when the header is missing.
  std::string message_id;
  std::string to;
  std::string cc;
  std::string from;
  std::string subject;
  std::string date;
  std::string body;
  // What a mail client shows, where it differs from the values above (empty otherwise): the
  // subject with its encoded words decoded (lower-cased), the body decoded by its transfer
  // encoding. The keyword checks read both forms.
  std::string subject_text;
  std::string body_text;
  // Lower-cased copies of `body` and `body_text`, made by the first keyword check that needs
  // them, so that several rules looking at one large body lower-case it once.
  mutable std::optional<std::string> body_lower;
  mutable std::optional<std::string> body_text_lower;
  std::vector<std::filesystem::path> attachments;  // in part order
  std::vector<std::string> content_types;          // lower-cased, every attachment part
  // The attachments saved from inside other parts (also in `attachments`): the checks see
  // them, a rebuild leaves them in their part.
  std::vector<std::filesystem::path> inner_parts;
  bool has_zip = false;
  bool zip_encrypted = false;
  bool zip_with_paths = false;
  bool attachment_vanished = false;
  // The Received trail (each "Received: " and its unfolded value) and the two headers that
  // mark machine mail, lower-cased ("" when missing).
  std::vector<std::string> received;
  std::string auto_submitted;
  std::string precedence;
  std::string source_ip;       // "" when unknown
  std::int64_t item_size = 0;  // bytes of the item file when it was read
};

// Whether an attachment path is the saved HTML body (kHtmlBodyName) rather than a file the
// sender attached.
[[nodiscard]] bool IsHtmlBodyFile(const std::filesystem::path& attachment);

// The attachments a rebuild may put back: `attachments` without the inner parts.
[[nodiscard]] std::vector<std::filesystem::path> OuterAttachments(const MessageFacts& message);

// The facts of a message just read, with its source IP and the size of its item file.
[[nodiscard]] MessageFacts FactsOf(const CGatewayMessageFile& message, std::string source_ip,
                                   std::int64_t item_size);

}  // namespace tarnhold
