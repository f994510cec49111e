#include "sweeper/final_action.h"

#include <ctime>

#include "gateway/activity_log.h"
#include "gateway/spool_layout.h"
#include "platform/data_root.h"
#include "platform/local_time.h"
#include "sweeper/content_checks.h"
#include "sweeper/generated_mail.h"
#include "transport/server_name.h"
#include "transport/smtp_date.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// Send-queue numbers start again low before they outgrow item names (nine digits).
constexpr std::uint32_t kSendQueueHintLimit = 900000000;

void AddTextDisclaimer(RuleContext& ctx) {
  const std::string& file = ctx.state.text_disclaimer;
  for (int attempt = 1;; ++attempt) {
    // A plain-text message always has a place for it: anything but success is retried.
    if (ctx.effects.AddTextDisclaimer(ctx.TextFile(file)) == DisclaimerResult::Added) {
      ctx.log("added text disclaimer from " + file);
      return;
    }
    ctx.effects.Pause(kDisclaimerPause);
    if (attempt == kDisclaimerAttempts) {
      ctx.log("error: aborting operation after max retries");
      return;
    }
    ctx.log("file error adding text dislaimer, retrying ...");
  }
}

void AddHtmlDisclaimer(RuleContext& ctx) {
  const std::string& file = ctx.state.html_disclaimer;
  for (int attempt = 1;; ++attempt) {
    const DisclaimerResult result = ctx.effects.AddHtmlDisclaimer(ctx.TextFile(file));
    if (result == DisclaimerResult::Added) {
      ctx.log("added HTML disclaimer from " + file);
      return;
    }
    if (result == DisclaimerResult::NoHtmlPart) {
      ctx.log("no HTML message part to add the disclaimer to");
      return;
    }
    ctx.effects.Pause(kDisclaimerPause);
    if (attempt == kDisclaimerAttempts) {
      ctx.log("error: aborting operation after max retries");
      return;
    }
    ctx.log("file error adding HTML disclaimer from " + file + ", retrying ...");
  }
}

// Today's archive folder name: month-day-year without leading zeros (6-12-2000).
std::string ArchiveDayFolder() {
  const std::tm local = LocalTime(std::time(nullptr));
  return std::to_string(local.tm_mon + 1) + "-" + std::to_string(local.tm_mday) + "-" +
         std::to_string(local.tm_year + 1900);
}

void SaveArchiveCopies(RuleContext& ctx) {
  for (const auto& path : ctx.state.archive_paths) {
    ctx.log("saving copy to " + path);
    ctx.effects.SaveArchiveCopy(MapConfigPath(ctx.Root(), path) / ArchiveDayFolder());
  }
}

// The extension a rebuild compares with its type list: after the last "." of the file name,
// lower-cased; the whole path when the name has none.
std::string RebuildExtension(const fs::path& file) {
  std::string name = file.filename().string();
  std::size_t dot = name.rfind('.');
  return LowerAscii(dot == std::string::npos ? file.string() : name.substr(dot + 1));
}

Resubmission BaseResubmission(const RuleContext& ctx) {
  const MessageFacts& m = ctx.message;
  return {m.envelope_recipient, m.envelope_sender, m.subject, m.body, m.cc, {},
          ResubmissionTrail(m, SmtpServerName(ctx.config.local_domains), SmtpDate())};
}

// Sends on a fresh local connection; true when the receiver took it. `sending` is the line
// written once connected.
bool Resubmit(RuleContext& ctx, const Resubmission& message, const std::string& sending,
              const std::string& failed) {
  if (!ctx.effects.ConnectLocal()) {
    ctx.effects.CloseLocal();
    return false;
  }
  ctx.log(sending);
  bool sent = ctx.effects.SendResubmission(message) == 0;
  ctx.log(sent ? "sent OK" : failed);
  ctx.effects.CloseLocal();
  return sent;
}

bool Rebuild(RuleContext& ctx, RebuildType type, const std::string& type_list) {
  Resubmission message = BaseResubmission(ctx);
  message.files = SelectRebuildFiles(ctx, type, type_list);
  if (!message.files.empty()) ctx.log("encoding ...");
  ctx.log("connecting to local SMTP server port");
  return Resubmit(ctx, message, "resending completed messsage ...", "ERROR: resend FAILED ...");
}

bool CompressedResend(RuleContext& ctx) {
  Resubmission message = BaseResubmission(ctx);
  message.files = {ctx.work_zip};
  return Resubmit(ctx, message, "resending with a ZIP attachment", "ERROR: resend FAILED ...");
}

// Moves the item; on failure tries the errors quarantine so that a message is never processed
// (and its replies sent) twice. Returns the outcome reached.
Destination Place(RuleContext& ctx, const fs::path& folder, std::uint32_t start, Destination want,
                  std::uint32_t* number = nullptr) {
  std::string error;
  if (auto n = ctx.effects.MoveItem(folder, start, error)) {
    if (number) *number = *n;
    return want;
  }
  ctx.log("error: could not move the item: " + error);
  if (want == Destination::Errors) return Destination::Stayed;
  if (auto n = ctx.effects.MoveItem(ctx.config.Layout().Errors(), 1, error)) {
    ctx.log("... message moved to errors quarantine area as " + std::to_string(*n));
    return Destination::Errors;
  }
  ctx.log("error: could not move the item: " + error);
  return Destination::Stayed;
}

Destination ToErrorsAfterFailedResubmission(RuleContext& ctx) {
  std::uint32_t n = 0;
  Destination reached = Place(ctx, ctx.config.Layout().Errors(), 1, Destination::Errors, &n);
  if (reached == Destination::Errors) {
    ctx.log("... resubmission failed, message moved to errors quarantine area as " +
            std::to_string(n));
  }
  return reached;
}

Destination SendOn(RuleContext& ctx, const FinalAction& action, std::uint32_t& hint) {
  if (action.destination == Destination::OffPeak) {
    Destination reached = Place(ctx, ctx.config.Layout().OffPeak(), 1, Destination::OffPeak);
    if (reached == Destination::OffPeak)
      ctx.log(RulePrefix(ctx.state.defer_rule) + " - delievery delayed until off-peak time");
    return reached;
  }
  ctx.log("obtaining new queue ID ...");
  std::uint32_t n = 0;
  Destination reached = Place(ctx, ctx.config.Layout().Send(), hint, Destination::SendQueue, &n);
  if (reached == Destination::SendQueue) {
    hint = n < kSendQueueHintLimit ? n : 0;
    ctx.log("item in Send que with ID  " + std::to_string(n));
  }
  return reached;
}

}  // namespace

std::string DestinationText(Destination destination, const std::string& area) {
  // The layout on an empty root gives the folders' names relative to any root.
  const SpoolLayout names{std::filesystem::path()};
  switch (destination) {
    case Destination::SendQueue:
      return names.Send().string();
    case Destination::OffPeak:
      return names.OffPeak().string();
    case Destination::Quarantine:
      return names.QuarantineRoot().string() + "/" + area;
    case Destination::Deleted:
      return "deleted";
    case Destination::Resubmitted:
      return "resubmitted";
    case Destination::Errors:
      return names.Errors().string();
    case Destination::Stayed:
      break;
  }
  return names.Processing().string();
}

RebuildType RebuildTypeForAction(int action) {
  switch (action) {
    case kActionRemoveListedTypes:
      return RebuildType::DropListedTypes;
    case kActionKeepListedTypes:
      return RebuildType::KeepListedTypes;
    case kActionRemoveAllAttachments:
      return RebuildType::DropAllAttachments;
    case kActionRemoveHtml:
    case kActionDecompress:
      return RebuildType::KeepAllAttachments;
    case kActionCompress:
      return RebuildType::CompressedResend;
    default:
      return RebuildType::None;
  }
}

FinalAction DecideFinalAction(const RuleContext& ctx, bool off_peak_now) {
  FinalAction final;
  const int i = ctx.state.stopping_rule;
  if (i < 0) {
    final.destination =
        ctx.state.defer && !off_peak_now ? Destination::OffPeak : Destination::SendQueue;
    return final;
  }
  const CRuleRecord& r = ctx.config.rules[static_cast<std::size_t>(i)];
  final.rule = i;
  final.action = r.Action;
  switch (r.Action) {
    case kActionQuarantine:
      final.destination = Destination::Quarantine;
      final.area = r.QuarantineArea;
      break;
    case kActionDelete:
      final.destination = Destination::Deleted;
      break;
    default:  // 4 to 9: the walk stops for these only with something to rewrite
      final.destination = Destination::Resubmitted;
      final.rebuild_type = RebuildTypeForAction(r.Action);
      break;
  }
  return final;
}

std::vector<fs::path> SelectRebuildFiles(RuleContext& ctx, RebuildType type,
                                         const std::string& type_list) {
  const std::string list = LowerAscii(type_list);
  std::vector<fs::path> kept;
  // Parts saved from inside other parts stay where they are, in their part.
  for (const auto& file : OuterAttachments(ctx.message)) {
    if (file.native().find(kHtmlBodyName) != std::string::npos) continue;
    const bool listed = list.find(RebuildExtension(file)) != std::string::npos;
    bool keep = false;
    switch (type) {
      case RebuildType::DropListedTypes:
        keep = !listed;
        break;
      case RebuildType::KeepListedTypes:
        keep = listed;
        break;
      case RebuildType::KeepAllAttachments:
        keep = true;
        break;
      case RebuildType::None:
      case RebuildType::DropAllAttachments:
      case RebuildType::CompressedResend:
        break;
    }
    if (keep) {
      ctx.log("reinserting attachment ..." + file.string());
      kept.push_back(file);
    } else {
      ctx.log("dropping attachment ..." + file.string());
    }
  }
  return kept;
}

ItemOutcome FinishItem(RuleContext& ctx, const FinalAction& action, std::uint32_t& hint) {
  const MessageFacts& m = ctx.message;
  if (!ctx.state.text_disclaimer.empty()) AddTextDisclaimer(ctx);
  if (!ctx.state.html_disclaimer.empty()) AddHtmlDisclaimer(ctx);
  if (ctx.config.LogBandwidth == 1) {
    ctx.effects.WriteBandwidthRecord(BandwidthRecord(m.date, m.message_id, m.envelope_sender,
                                                     m.envelope_recipient, ctx.effects.ItemSize()));
  }
  SaveArchiveCopies(ctx);

  ItemOutcome outcome{action.rule, action.action, Destination::Stayed, action.area};
  const std::string prefix = RulePrefix(action.rule);
  switch (action.destination) {
    case Destination::Quarantine:
      outcome.destination =
          Place(ctx, ctx.config.QuarantinePath(action.area), 1, Destination::Quarantine);
      if (outcome.destination == Destination::Quarantine)
        ctx.log(prefix + " - message moved to quarantine area '" + action.area + "'");
      break;
    case Destination::Deleted:
      if (ctx.effects.DeleteItem()) {
        outcome.destination = Destination::Deleted;
        ctx.log(prefix + " - message has been deleted");
      }
      break;
    case Destination::Resubmitted: {
      const CRuleRecord& r = ctx.config.rules[static_cast<std::size_t>(action.rule)];
      bool sent = false;
      switch (action.rebuild_type) {
        case RebuildType::DropListedTypes:
          ctx.log("resending ...");
          sent = Rebuild(ctx, action.rebuild_type, r.RemoveFileTypes);
          break;
        case RebuildType::KeepListedTypes:
          ctx.log("resending...");
          sent = Rebuild(ctx, action.rebuild_type, r.RemoveFileTypes);
          break;
        case RebuildType::DropAllAttachments:
          ctx.log("resending without any file attachments...");
          sent = Rebuild(ctx, action.rebuild_type, "");
          break;
        case RebuildType::KeepAllAttachments:
          ctx.log("resending without any HTML");
          sent = Rebuild(ctx, action.rebuild_type, "");
          break;
        case RebuildType::None:
        case RebuildType::CompressedResend:
          sent = CompressedResend(ctx);
          break;
      }
      if (!sent) {
        outcome.destination = ToErrorsAfterFailedResubmission(ctx);
      } else if (ctx.effects.DeleteItem()) {
        outcome.destination = Destination::Resubmitted;
      } else {
        // Left in place it would be swept and resubmitted again on every pass.
        ctx.log("error: could not delete the resubmitted item");
        outcome.destination = Place(ctx, ctx.config.Layout().Errors(), 1, Destination::Errors);
      }
      break;
    }
    default:
      outcome.destination = SendOn(ctx, action, hint);
      break;
  }
  return outcome;
}

}  // namespace tarnhold
