#include "sweeper/generated_mail.h"

#include "message/mime_header.h"
#include "platform/text_case.h"

namespace tarnhold {
namespace {

// Senders that are programs or role mailboxes: an answer would go to a daemon (and may come
// back as mail of its own) or to a postmaster who never wrote the message.
constexpr std::string_view kDaemonLocalParts[] = {"mailer-daemon", "postmaster"};

bool FromDaemon(std::string_view sender) {
  std::string_view local = sender.substr(0, sender.rfind('@'));
  for (std::string_view daemon : kDaemonLocalParts) {
    if (EqualsNoCase(local, daemon)) return true;
  }
  return false;
}

// auto-submitted-field = "Auto-Submitted:" [CFWS] auto-submitted [CFWS] *(";" parameter);
// only "no" says that a person sent it.
bool IsAutoSubmitted(std::string_view value) {
  std::string_view keyword = value.substr(0, value.find(';'));
  while (!keyword.empty() && (keyword.back() == ' ' || keyword.back() == '\t')) {
    keyword.remove_suffix(1);
  }
  return !value.empty() && keyword != "no";
}

bool IsBulk(std::string_view precedence) {
  return precedence == "bulk" || precedence == "list" || precedence == "junk";
}

}  // namespace

AutoAnswer ReplyAllowed(const MessageFacts& message) {
  if (message.envelope_sender.empty()) return AutoAnswer::NullSender;
  if (FromDaemon(message.envelope_sender)) return AutoAnswer::DaemonSender;
  if (IsAutoSubmitted(message.auto_submitted)) return AutoAnswer::AutoSubmitted;
  if (IsBulk(message.precedence)) return AutoAnswer::BulkPrecedence;
  return AutoAnswer::Allowed;
}

AutoAnswer NoticeAllowed(const MessageFacts& message) {
  return IsAutoSubmitted(message.auto_submitted) ? AutoAnswer::AutoSubmitted
                                                 : AutoAnswer::Allowed;
}

std::string_view AutoAnswerReason(AutoAnswer answer) {
  switch (answer) {
    case AutoAnswer::Allowed:
      return "";
    case AutoAnswer::NullSender:
      return "the sender is empty";
    case AutoAnswer::DaemonSender:
      return "the sender is a mail daemon";
    case AutoAnswer::AutoSubmitted:
      return "the message is auto-submitted";
    case AutoAnswer::BulkPrecedence:
      return "the message is bulk mail";
  }
  return "";
}

bool PastHopLimit(const MessageFacts& message, int max_received) {
  return max_received > 0 && message.received.size() > static_cast<std::size_t>(max_received);
}

std::vector<std::string> ResubmissionTrail(const MessageFacts& message,
                                           std::string_view server_name, std::string_view date) {
  std::vector<std::string> trail;
  trail.reserve(message.received.size() + 1);
  trail.push_back("Received: by " + OneLine(server_name) + " (resubmitted); " + OneLine(date));
  for (const std::string& line : message.received) trail.push_back(OneLine(line));
  return trail;
}

}  // namespace tarnhold
