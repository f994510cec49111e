#include "apps/thgate/item_report_command.h"

#include <iostream>
#include <nlohmann/json.hpp>

#include "gateway/spool_layout.h"
#include "message/gateway_message_file.h"
#include "platform/data_root.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

std::string ReadError(int result, const fs::path& file) {
  switch (result) {
    case -1:
      return "cannot open " + file.string() + " for reading and writing, or it is locked";
    case 64:
      return "cannot read " + file.string() + " from its start";
    default:
      return "cannot parse " + file.string();
  }
}

nlohmann::json Describe(const CGatewayMessageFile& message) {
  nlohmann::json attachments = nlohmann::json::array();
  for (const auto& path : message.Attachments()) {
    attachments.push_back(path.lexically_relative(message.TempFolder()).generic_string());
  }
  nlohmann::json inner_parts = nlohmann::json::array();
  for (const auto& path : message.InnerParts()) {
    inner_parts.push_back(path.lexically_relative(message.TempFolder()).generic_string());
  }
  return {
      {"recipient", message.Recipient()},
      {"sender", message.Sender()},
      {"message_id", message.MessageId()},
      {"to", message.To()},
      {"cc", message.Cc()},
      {"from", message.From()},
      {"subject", message.Subject()},
      {"date", message.Date()},
      {"body", message.Body()},
      {"attachments", attachments},
      {"content_types", message.ContentTypes()},
      {"received", message.ReceivedList()},
      {"has_zip", message.HasZip()},
      {"zip_encrypted", message.ZipEncrypted()},
      {"zip_with_paths", message.ZipWithPaths()},
      {"attachment_vanished", message.AttachmentVanished()},
      {"subject_text", message.SubjectText()},
      {"body_text", message.BodyText()},
      {"inner_parts", inner_parts},
  };
}

}  // namespace

int InspectFile(const fs::path& root, const fs::path& file, bool raw, std::ostream& out,
                std::ostream& err) {
  CGatewayMessageFile message(SpoolLayout(root).Temp());
  message.SetLog([&err](const std::string& line) { err << "thgate: " << line << "\n"; });
  int result = message.Read(file, raw ? ItemFormat::PlainMessage : ItemFormat::QueueItem);
  if (result != 0) {
    err << "thgate: " << ReadError(result, file) << "\n";
    return 2;
  }
  // Mail is not always valid UTF-8: such bytes are shown as U+FFFD.
  out << Describe(message).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  message.Release();
  return 0;
}

int RunInspect(const GateOptions& options) {
  return InspectFile(ResolveDataRoot(options.root), options.file, options.raw, std::cout,
                     std::cerr);
}

}  // namespace tarnhold
