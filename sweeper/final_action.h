// What happens to a message after the walk over the rules: the disclaimers, the bandwidth
// record and the archive copies, then the final action of the stopping rule (quarantine,
// delete, rebuild or compressed resend through the gateway's own receiver) or, without one,
// the send queue or the off-peak folder. A message is never dropped on a failure: a
// resubmission that did not reach the receiver leaves the original in quaran/errors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sweeper/rule_context.h"

namespace tarnhold {

inline constexpr int kDisclaimerAttempts = 6;
inline constexpr std::chrono::milliseconds kDisclaimerPause{100};

enum class Destination { SendQueue, OffPeak, Quarantine, Deleted, Resubmitted, Errors, Stayed };

// How a resubmitted message is made: rebuilt from its parts, keeping attachments by their
// type, or sent on whole as one ZIP archive.
enum class RebuildType {
  None,                // not resubmitted
  DropListedTypes,     // every attachment except those of the listed types
  KeepListedTypes,     // only the attachments of the listed types
  DropAllAttachments,  // no attachment
  KeepAllAttachments,  // every attachment (the HTML body strip and the ZIP extraction)
  CompressedResend,    // the whole message as one ZIP attachment
};

// The resubmission a rule's `Action` asks for; None for the actions that keep the message.
[[nodiscard]] RebuildType RebuildTypeForAction(int action);

// The decision for one message: the deciding rule and its action (-1 and 0 when no rule
// stopped the walk), and where the item is to go.
struct FinalAction {
  int rule = -1;
  int action = kActionContinue;
  Destination destination = Destination::SendQueue;
  std::string area;  // quarantine area of Destination::Quarantine
  RebuildType rebuild_type = RebuildType::None;
};

// What became of the item.
struct ItemOutcome {
  int rule = -1;
  int action = kActionContinue;
  Destination destination = Destination::Stayed;
  std::string area;
  bool locked = false;  // its writer still held the item: it stays for a later pass
  // What the sweep record reports of the message; empty when it could not be read.
  std::string message_id;
  std::string sender;
  std::string recipient;
  std::int64_t size = 0;  // bytes of the item file
  std::vector<int> rules_applied;
  std::vector<int> rules_triggered;
};

// Where the message goes, from the walk's state; `off_peak_now` is the off-peak window test.
[[nodiscard]] FinalAction DecideFinalAction(const RuleContext& ctx, bool off_peak_now);

// Runs the steps after the walk and carries out `action`. `send_queue_hint` is where the
// search for a free send-queue number starts; it is set to each number taken.
ItemOutcome FinishItem(RuleContext& ctx, const FinalAction& action, std::uint32_t& send_queue_hint);

// The attachments a rebuild of `type` keeps, with a "reinserting"/"dropping" line for each;
// never the HTML body file. A compressed resend keeps none here.
[[nodiscard]] std::vector<std::filesystem::path> SelectRebuildFiles(RuleContext& ctx,
                                                                    RebuildType type,
                                                                    const std::string& type_list);

// "quaran/<area>", "que", ... as the dry run reports it.
[[nodiscard]] std::string DestinationText(Destination destination, const std::string& area);

}  // namespace tarnhold
