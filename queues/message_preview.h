// The preview of one message: its body text and the names of its attachments, read with the
// gateway's message-file reader into a private folder (made with mkdtemp, never the
// sweeper's temp folder) that is removed before the call returns.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarnhold::queues {

struct MessagePreview {
  std::string recipient;  // the envelope
  std::string sender;
  std::string date, to, from, cc, subject, message_id;  // header values as the rules see them
  std::string body;                                     // the body text a mail client shows
  std::vector<std::string> attachments;                 // file names, one per attachment
};

enum class PreviewResult { Read, Busy, Unreadable };

// Reads `item`. Busy: the gateway holds it (or it is gone). Unreadable: not a message the
// reader understands, or no private folder could be made.
[[nodiscard]] PreviewResult ReadPreview(const std::filesystem::path& item, MessagePreview& out);

}  // namespace tarnhold::queues
