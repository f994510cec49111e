#include "transport/smtp_dialogue.h"

namespace tarnhold {

SmtpStep ReactToReply(SmtpStep step, const SmtpReply& reply, DataGoAhead go_ahead) {
  auto on_positive = [&](SmtpStep next) { return reply.IsPositive() ? next : SmtpStep::Refused; };
  switch (step) {
    case SmtpStep::Greeting:
      // The greeting's code is not judged: a server that greets with an error refuses HELO
      // too. A greeting that never completed is a dead or hostile peer.
      return reply.Complete() ? SmtpStep::Helo : SmtpStep::Refused;
    case SmtpStep::Helo:
      return on_positive(SmtpStep::Ready);
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

const char* StepName(SmtpStep step) {
  switch (step) {
    case SmtpStep::Greeting:
      return "greeting";
    case SmtpStep::Helo:
      return "HELO";
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
