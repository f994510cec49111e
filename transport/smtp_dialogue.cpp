#include "transport/smtp_dialogue.h"

#include <cctype>
#include <string_view>

namespace tarnhold {

SmtpStep ReactToReply(SmtpStep step, const SmtpReply& reply, DataGoAhead go_ahead) {
  auto on_positive = [&](SmtpStep next) { return reply.IsPositive() ? next : SmtpStep::Refused; };
  switch (step) {
    case SmtpStep::Greeting:
      // The greeting's code is not judged: a server that greets with an error refuses HELO
      // too. A greeting that never completed is a dead or hostile peer.
      return reply.Complete() ? SmtpStep::Helo : SmtpStep::Refused;
    case SmtpStep::Helo:
    case SmtpStep::Ehlo:
      return on_positive(SmtpStep::Ready);
    case SmtpStep::StartTls:
      return reply.Complete() && reply.code == 220 ? SmtpStep::Ready : SmtpStep::Refused;
    case SmtpStep::Mail:
      return on_positive(SmtpStep::Rcpt);
    case SmtpStep::Rcpt:
      return on_positive(SmtpStep::Data);
    case SmtpStep::Data: {
      bool go = go_ahead == DataGoAhead::Exactly354 ? reply.Complete() && reply.code == 354
                                                    : reply.IsIntermediate();
      return go ? SmtpStep::Message : SmtpStep::Refused;
    }
    case SmtpStep::Message:
      return on_positive(SmtpStep::Ready);
    case SmtpStep::Ready:
    case SmtpStep::Refused:
      break;
  }
  return step;
}

bool HasExtension(const SmtpReply& ehlo_reply, std::string_view keyword) {
  if (!ehlo_reply.IsPositive()) return false;
  // ehlo-line = ehlo-keyword *( SP ehlo-param ), after "250-" or "250 "
  for (std::size_t i = 1; i < ehlo_reply.lines.size(); ++i) {
    std::string_view line = ehlo_reply.lines[i];
    if (line.size() < 4) continue;
    std::string_view word = line.substr(4);
    word = word.substr(0, word.find(' '));
    if (word.size() != keyword.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < word.size() && same; ++k) {
      same = std::toupper(static_cast<unsigned char>(word[k])) ==
             std::toupper(static_cast<unsigned char>(keyword[k]));
    }
    if (same) return true;
  }
  return false;
}

const char* StepName(SmtpStep step) {
  switch (step) {
    case SmtpStep::Greeting:
      return "greeting";
    case SmtpStep::Helo:
      return "HELO";
    case SmtpStep::Ehlo:
      return "EHLO";
    case SmtpStep::StartTls:
      return "STARTTLS";
    case SmtpStep::Mail:
      return "MAIL";
    case SmtpStep::Rcpt:
      return "RCPT";
    case SmtpStep::Data:
      return "DATA";
    case SmtpStep::Message:
      return "message data";
    case SmtpStep::Ready:
      return "ready";
    case SmtpStep::Refused:
      return "refused";
  }
  return "?";
}

}  // namespace tarnhold
