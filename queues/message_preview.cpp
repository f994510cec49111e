#include "queues/message_preview.h"

#include "message/gateway_message_file.h"
#include "platform/temp_files.h"

namespace fs = std::filesystem;

namespace tarnhold::queues {
namespace {

std::string Trimmed(const std::string& value) {
  std::size_t first = value.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return value.substr(first, value.find_last_not_of(" \t") - first + 1);
}

// Lines end in LF for a text box and a terminal.
std::string WithLineFeeds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

PreviewResult ReadPreview(const fs::path& item, MessagePreview& out) {
  out = {};
  std::error_code ec;
  fs::path parent = fs::temp_directory_path(ec);
  if (ec) parent = "/tmp";
  TempDir private_folder;
  if (!private_folder.Create(parent, "thqueue.")) return PreviewResult::Unreadable;
  CGatewayMessageFile message(private_folder.Path());
  int read = message.Read(item);
  if (read == -1) return PreviewResult::Busy;
  if (read != 0) return PreviewResult::Unreadable;
  out.recipient = message.Recipient();
  out.sender = message.Sender();
  out.date = Trimmed(message.Date());
  out.to = Trimmed(message.To());
  out.from = Trimmed(message.From());
  out.cc = Trimmed(message.Cc());
  out.subject = Trimmed(message.Subject());
  out.message_id = Trimmed(message.MessageId());
  out.body = WithLineFeeds(message.BodyText().empty() ? message.Body() : message.BodyText());
  // The "." line that ended the data phase is stored with the item; it is no part of the text.
  if (out.body == ".\n") out.body.clear();
  if (out.body.size() >= 3 && out.body.compare(out.body.size() - 3, 3, "\n.\n") == 0) {
    out.body.resize(out.body.size() - 2);
  }
  for (const fs::path& path : message.Attachments()) {
    out.attachments.push_back(path.filename().string());
  }
  message.Release();
  return PreviewResult::Read;
}

}  // namespace tarnhold::queues
