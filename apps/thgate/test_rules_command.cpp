#include "apps/thgate/test_rules_command.h"

#include <filesystem>
#include <fstream>
#include <optional>

#include "gateway/gateway_config.h"
#include "gateway/queue_item.h"
#include "gateway/spool_layout.h"
#include "platform/data_root.h"
#include "platform/locked_file.h"
#include "platform/temp_files.h"
#include "sweeper/dry_run_effects.h"
#include "sweeper/item_processor.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// A queue item with the given envelope in front of the plain message `file`. Lines are given
// CR LF ends, as the message would have travelled over SMTP.
bool MakeItem(const fs::path& file, const fs::path& item, const std::string& recipient,
              const std::string& sender, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read " + file.string();
    return false;
  }
  LockedFile out;
  if (out.CreateLocked(item, error) != CreateResult::Created) return false;
  if (WriteQueueItemHeader(out, recipient, sender, 0, 0, 0) != 0) {
    error = "cannot write " + item.string();
    return false;
  }
  char buffer[65536];
  std::string text;
  char previous = '\0';
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.clear();
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      if (buffer[i] == '\n' && previous != '\r') text += '\r';
      text += buffer[i];
      previous = buffer[i];
    }
    if (!out.WriteAll(text.data(), text.size())) {
      error = "cannot write " + item.string();
      return false;
    }
  }
  return true;
}

// The stat file of an item that lies in a processing queue; none for a file elsewhere.
fs::path StatFileOf(const fs::path& file) {
  const fs::path absolute = fs::absolute(file);
  const SpoolLayout layout(absolute.parent_path().parent_path());
  if (absolute.parent_path() != layout.Processing()) return {};
  return layout.SourceInfo(absolute.filename().string());
}

}  // namespace

int RunTestRules(const GateOptions& a, std::ostream& out, std::ostream& err) {
  std::string error;
  const fs::path root = ResolveDataRoot(a.root);
  const fs::path file = a.file;
  CGatewayConfig config(root);
  ConfigLoadReport report = config.Load();
  for (const std::string& problem : report.problems) err << "thgate: " << problem << "\n";

  // Everything the run writes stays in a private folder that goes with it.
  TempDir work;
  if (!work.Create(fs::temp_directory_path(), "thgate-test-rules.")) {
    err << "thgate: cannot make a work folder in " << fs::temp_directory_path().string() << "\n";
    return 2;
  }
  const fs::path item = work.Path() / file.filename();
  std::error_code ec;
  if (a.raw) {
    if (!MakeItem(file, item, *a.to, *a.from, error)) {
      err << "thgate: " << error << "\n";
      return 2;
    }
  } else if (fs::copy_file(file, item, ec); ec) {
    err << "thgate: cannot read " << file.string() << ": " << ec.message() << "\n";
    return 2;
  }

  ProcessSetup setup;
  const SpoolLayout work_layout(work.Path());
  setup.temp_root = work_layout.Temp();
  setup.work_zip = work_layout.CompressionZip();
  setup.stat_file = a.raw ? fs::path() : StatFileOf(file);
  setup.source_ip = a.ip;
  setup.log = [&out](std::string_view line) { out << "> " << line << "\n"; };
  EffectsFactory dry = [](const fs::path&, const MessageFacts& facts, CGatewayMessageFile&) {
    return std::make_unique<DryRunEffects>(facts.item_size);
  };
  std::uint32_t send_queue_hint = 0;
  ItemOutcome outcome = ProcessItem(item, config, setup, dry, send_queue_hint);
  out << "decision: rule=" << outcome.rule << " action=" << outcome.action
      << " destination=" << DestinationText(outcome.destination, outcome.area) << "\n";
  return 0;
}

}  // namespace tarnhold
