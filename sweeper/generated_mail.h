// The rules the gateway keeps for mail it writes itself. A reply goes to no sender that is
// empty, a mail daemon or a role mailbox, and answers no machine mail (Auto-Submitted other than
// "no", Precedence bulk, list or junk); a notice answers no auto-submitted message. So two
// automatic responders never feed each other. A message that has passed more hops than allowed
// is looping and is taken out of the sweep.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sweeper/message_facts.h"

namespace tarnhold {

enum class AutoAnswer { Allowed, NullSender, DaemonSender, AutoSubmitted, BulkPrecedence };

// Whether a reply to the envelope sender of `message` may go out.
[[nodiscard]] AutoAnswer ReplyAllowed(const MessageFacts& message);
// Whether a notice about `message` (to its recipient or to the administrator) may go out.
[[nodiscard]] AutoAnswer NoticeAllowed(const MessageFacts& message);
// The words of a log line that says why ("the message is auto-submitted", ...).
[[nodiscard]] std::string_view AutoAnswerReason(AutoAnswer answer);

// True when the message carries more Received lines than `max_received` (0 or less: no limit).
[[nodiscard]] bool PastHopLimit(const MessageFacts& message, int max_received);

// The header lines a resubmitted copy of `message` carries so that its hops still count: one
// Received line for this pass by `server_name`, then its Received trail (each kept to one line).
[[nodiscard]] std::vector<std::string> ResubmissionTrail(const MessageFacts& message,
                                                         std::string_view server_name,
                                                         std::string_view date);

}  // namespace tarnhold
