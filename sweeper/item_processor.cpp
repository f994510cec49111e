#include "sweeper/item_processor.h"

#include "gateway/activity_log.h"
#include "platform/locked_file.h"
#include "sweeper/generated_mail.h"
#include "sweeper/live_effects.h"
#include "sweeper/off_peak.h"
#include "sweeper/rule_walk.h"
#include "sweeper/source_ip.h"
#include "sweeper/temp_cleanup.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

std::int64_t FileSize(const fs::path& file) {
  std::error_code ec;
  auto size = fs::file_size(file, ec);
  return ec ? 0 : static_cast<std::int64_t>(size);
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
  // The message box of a window names the new place; here it is a line and nothing waits.
  setup.log((errors / std::to_string(*n)).string());
  setup.log("... message moved to errors quarantine area and will not be processed");
  outcome.destination = Destination::Errors;
  return outcome;
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
  ItemOutcome outcome = ProcessItem(item, config, setup, live, send_queue_hint_);
  if (outcome.locked) reported_locked_.insert(item);
  // The source information goes with its item; while the item stays, so does its IP.
  if (outcome.destination != Destination::Stayed) fs::remove(setup.stat_file, ec);
  fs::remove(work_zip, ec);
  SweepLogLines(lines);
}

}  // namespace tarnhold
