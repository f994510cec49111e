// The banner in front of returned mail, shared by the SMTP exchange and the local store.
#include <string>
#include <string_view>

#include "message/mime_header.h"
#include "transport/smtp_delivery.h"

namespace tarnhold {
namespace {

// The subject line of each return kind; it ends the header, so the separator lines begin
// the body.
constexpr std::string_view kSubjectLines[] = {
    "",
    "Subject: Returned Mail- Domain Not Found\r\n\r\n",
    "Subject: Returned Mail- User Not Found\r\n\r\n",
    "Subject: Returned Mail- Max. Send Retries Reached\r\n\r\n",
};

constexpr std::string_view kSeparatorLines =
    "========================\r\n"
    " Returned Mail Follows:\r\n"
    "========================\r\n";

}  // namespace

std::string ReturnedMailBanner(std::uint32_t return_kind, std::string_view message_id,
                               std::string_view to, std::string_view from,
                               std::string_view date) {
  if (return_kind == kReturnNone || return_kind > kReturnMaxRetries) return {};
  std::string banner;
  banner += "Message-ID: " + OneLine(message_id) + "\r\n";
  banner += "To: " + OneLine(to) + "\r\n";
  banner += "From: " + OneLine(from) + "\r\n";
  if (!date.empty()) banner += "Date: " + OneLine(date) + "\r\n";
  banner += "Auto-Submitted: auto-replied\r\n";
  banner += kSubjectLines[return_kind];
  banner += kSeparatorLines;
  return banner;
}

}  // namespace tarnhold
