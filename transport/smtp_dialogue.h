// The client side of an SMTP dialogue as steps: each step sends one thing (nothing for the
// greeting, a command, or the message data) and reads one reply, and ReactToReply alone
// decides from that reply where the dialogue goes. The gateway's own client and the outbound
// delivery walk the same steps; each maps a refusal at a step onto its own result codes.
#pragma once

#include "transport/smtp_reply.h"

namespace tarnhold {

enum class SmtpStep {
  Greeting,  // wait for the server's opening reply
  Helo,      // "HELO <name>"
  Ehlo,      // "EHLO <name>"
  StartTls,  // "STARTTLS"
  Mail,      // "MAIL FROM:<sender>"
  Rcpt,      // "RCPT TO:<recipient>"
  Data,      // "DATA"
  Message,   // header, body, files and the final "." line
  Ready,     // greeted, or the message was accepted: a new transaction may start
  Refused,   // the reply to the step did not let the dialogue go on
};

// Which reply to DATA lets the message follow.
enum class DataGoAhead { Exactly354, Any3xx };

// The step after `step` once its reply has arrived:
//   Greeting: any complete reply (its code is not looked at) -> Helo
//   Helo, Ehlo: 2xx -> Ready  StartTls: 220 -> Ready (the handshake is next)
//   Mail: 2xx -> Rcpt         Rcpt: 2xx -> Data
//   Data: 354 (or any 3xx)  -> Message                 Message: 2xx -> Ready
// Anything else, including a reply that never completed, is Refused. Ready and Refused stay.
[[nodiscard]] SmtpStep ReactToReply(SmtpStep step, const SmtpReply& reply,
                                    DataGoAhead go_ahead = DataGoAhead::Exactly354);

// Whether a Complete reply to EHLO announces `keyword` ("STARTTLS"): a line after the first
// whose first word, after the code and its separator, is the keyword in any letter case.
[[nodiscard]] bool HasExtension(const SmtpReply& ehlo_reply, std::string_view keyword);

// A name for log lines and test output ("greeting", "HELO", ...).
[[nodiscard]] const char* StepName(SmtpStep step);

}  // namespace tarnhold
