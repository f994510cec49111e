#include "sweeper/item_processor.h"

#include <chrono>

#include "gateway/activity_log.h"
#include "gateway/engine_notices.h"
#include "gateway/metrics.h"
#include "platform/locked_file.h"
#include "platform/spare_files.h"
#include "sweeper/generated_mail.h"
#include "sweeper/live_effects.h"
#include "sweeper/off_peak.h"
#include "sweeper/rule_walk.h"
#include "sweeper/source_ip.h"
#include "sweeper/sweep_record.h"
#include "sweeper/temp_cleanup.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

std::int64_t FileSize(const fs::path& file) {
  std::error_code ec;
  auto size = fs::file_size(file, ec);
  return ec ? 0 : static_cast<std::int64_t>(size);
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Whether another party (the receiver, still writing) holds the item.
bool StillHeld(const fs::path& item) {
  LockedFile probe;
  std::string error;
  return probe.OpenLocked(item, Access::ReadOnly, error) == LockResult::Busy;
}

// An item that cannot be parsed, or that is looping, goes to the errors quarantine and is
// never swept again.
ItemOutcome MoveToErrors(const CGatewayConfig& config, const ProcessSetup& setup,
                         ItemEffects& effects) {
  ItemOutcome outcome;
  const fs::path errors = config.Layout().Errors();
  std::string error;
  auto n = effects.MoveItem(errors, 1, error);
  if (!n) {
    setup.log("error: could not move the item: " + error);
    return outcome;
  }
  // The window's box names the new place; the sweeper only raises it and never waits for it.
  const std::string moved_to = (errors / std::to_string(*n)).string();
  setup.log(moved_to);
  RaiseNotice(NoticeKind::Information, "thgate", moved_to);
  setup.log("... message moved to errors quarantine area and will not be processed");
  outcome.destination = Destination::Errors;
  return outcome;
}

// The metrics' name for where an item went; Stayed is no outcome (the item is swept again).
bool SweptFor(Destination destination, SweptOutcome& swept) {
  switch (destination) {
    case Destination::SendQueue: swept = SweptOutcome::SendQueue; return true;
    case Destination::OffPeak: swept = SweptOutcome::OffPeak; return true;
    case Destination::Quarantine: swept = SweptOutcome::Quarantine; return true;
    case Destination::Deleted: swept = SweptOutcome::Deleted; return true;
    case Destination::Resubmitted: swept = SweptOutcome::Resubmitted; return true;
    case Destination::Errors: swept = SweptOutcome::Errors; return true;
    case Destination::Stayed: break;
  }
  return false;
}

// The metrics and the sweep record of an item the sweeper is done with.
void RecordSweep(const fs::path& item, const ItemOutcome& outcome, const CGatewayConfig& config,
                 std::chrono::steady_clock::duration spent) {
  SweptOutcome swept{};
  if (SweptFor(outcome.destination, swept)) CountSwept(swept);
  for (int rule : outcome.rules_triggered) CountRuleTriggered(rule);
  if (config.LogSweeper != 1) return;
  const std::time_t now = std::time(nullptr);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(spent).count();
  (void)AppendSweepRecord(config.Layout().SweepRecordLog(),
                          SweepRecordLine(item.filename().string(), outcome, ms, now), now);
}

}  // namespace

bool RulesReadParts(const CGatewayConfig& config) {
  for (const CRuleRecord& r : config.rules) {
    if (r.Enabled != 1) continue;
    switch (r.Action) {
      case kActionContinue:
      case kActionQuarantine:
      case kActionDelete:
      case kActionOffPeak:
        break;
      default:
        return true;
    }
    if (r.VirusScan == 1 || r.PassiveVirusScan == 1 || r.ScanAttachments == 1 ||
        !r.BlockFileTypes.empty() || r.BlockAllAttachments == 1 || !r.SizeLimitExtList.empty() ||
        r.EnableCheckAnyFileNameLength == 1 || r.BlockPasswordZIPs == 1 ||
        r.BlockMIMEContentType == 1)
      return true;
  }
  return false;
}

ItemOutcome ProcessItem(const fs::path& item, const CGatewayConfig& config,
                        const ProcessSetup& setup, const EffectsFactory& make_effects,
                        std::uint32_t& send_queue_hint) {
  setup.log("Reading queue item " + item.filename().string() + " ...");
  setup.log("creating from file " + item.string());
  CGatewayMessageFile message(setup.temp_root);
  message.SetLog([&setup](const std::string& line) { setup.log(line); });
  message.SetPartFiles(RulesReadParts(config) ? PartFiles::Save : PartFiles::Skip);
  const int read = message.Read(item);
  if (read == -1) {
    setup.log("... item locked by server");
    ItemOutcome locked;
    locked.locked = true;
    return locked;
  }
  if (read == -2) {
    message.Release();
    MessageFacts none;
    auto effects = make_effects(item, none, message);
    setup.log("*fatal error while reading message " + item.string());
    return MoveToErrors(config, setup, *effects);
  }
  if (read == 0) {
    setup.log("OK " + message.MessageId() + " is from " + message.Sender() + " for " +
              message.Recipient() + "(" + message.To() + ")");
  }
  std::string ip;
  if (setup.source_ip) {
    setup.log("reading source IP info");
    setup.log("source IP is " + *setup.source_ip);
    ip = *setup.source_ip;
  } else {
    ip = ReadSourceIp(setup.stat_file, setup.log);
  }
  const MessageFacts facts = FactsOf(message, ip, FileSize(item));
  auto effects = make_effects(item, facts, message);
  if (PastHopLimit(facts, config.MaxReceivedHeaders)) {
    // A loop between gateways, or resubmissions that never settle: neither rules nor
    // resubmission may go on with it.
    setup.log("mail loop: the message has " + std::to_string(facts.received.size()) +
              " Received headers, more than " + std::to_string(config.MaxReceivedHeaders));
    message.Release();
    return MoveToErrors(config, setup, *effects);
  }
  RuleContext ctx{config, facts, *effects, setup.log, setup.work_zip, setup.virus_check, {}};
  WalkRules(ctx);
  const bool off_peak = IsOffPeakNow(config.OffPeakFromHH, config.OffPeakFromMM, config.OffPeakToHH,
                                     config.OffPeakToMM) == 1;
  ItemOutcome outcome = FinishItem(ctx, DecideFinalAction(ctx, off_peak), send_queue_hint);
  outcome.message_id = Trimmed(message.MessageId());
  outcome.sender = facts.envelope_sender;
  outcome.recipient = facts.envelope_recipient;
  outcome.size = facts.item_size;
  outcome.rules_applied = std::move(ctx.state.rules_applied);
  outcome.rules_triggered = std::move(ctx.state.rules_triggered);
  message.Release();
  return outcome;
}

void QueueItemProcessor::ProcessQueueItem(const fs::path& item, const CGatewayConfig& config) {
  // A long transfer would otherwise write three lines on every pass until it ends.
  if (reported_locked_.contains(item)) {
    if (StillHeld(item)) return;
    reported_locked_.erase(item);
  }
  const SpoolLayout layout = config.Layout();
  const fs::path temp_root = worker_ ? layout.SweepWorkerTemp(*worker_) : layout.Temp();
  const fs::path work_zip = worker_ ? layout.SweepWorkerZip(*worker_) : layout.CompressionZip();
  std::error_code ec;
  fs::remove(work_zip, ec);
  if (worker_) fs::create_directories(temp_root, ec);
  RemoveTempLeftovers(temp_root);
  ProcessSetup setup;
  setup.temp_root = temp_root;
  setup.work_zip = work_zip;
  setup.stat_file = layout.SourceInfo(item.filename().string());
  std::vector<std::string> lines;
  if (worker_) {
    setup.log = [&lines](std::string_view line) { lines.emplace_back(line); };
  } else {
    setup.log = [](std::string_view line) { SweepLogLine(line); };
  }
  setup.virus_check = virus_check_;
  WakeEvent* wake = send_wake_;
  EffectsFactory live = [&config, wake](const fs::path& path, const MessageFacts&,
                                        CGatewayMessageFile& message) {
    return std::make_unique<LiveEffects>(config, path, message, wake);
  };
  const auto started = std::chrono::steady_clock::now();
  ItemOutcome outcome = ProcessItem(item, config, setup, live, send_queue_hint_);
  if (outcome.locked) reported_locked_.insert(item);
  if (!outcome.locked) RecordSweep(item, outcome, config, std::chrono::steady_clock::now() - started);
  // The source information goes with its item; while the item stays, so does its IP.
  if (outcome.destination != Destination::Stayed) RemoveToSpare(setup.stat_file, layout.Spare());
  fs::remove(work_zip, ec);
  SweepLogLines(lines);
}

}  // namespace tarnhold
