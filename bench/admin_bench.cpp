// Prints thadmin's start-up time without a display (step log, load, settings tree, and the
// first refill of every page as data) and the time of a save (the checks, tarnhold.dat and the
// two list files), on a configuration of 500 rules and 200 local users.
#include <chrono>
#include <cstdio>
#include <string>

#include "admin/admin_session.h"
#include "admin/rule_pages.h"
#include "admin/settings_pages.h"
#include "bench/large_config.h"
#include "platform/temp_files.h"

using namespace tarnhold;
using bench::Clock;
using bench::MillisecondsSince;

namespace {

// The large configuration with 20 local domains and the adult keywords set.
CGatewayConfig LargeConfig(const std::filesystem::path& root) {
  CGatewayConfig c = bench::LargeConfig(root, 20);
  c.AdultKeywords = "keyword1,keyword2,keyword3,keyword4,keyword5";
  return c;
}

}  // namespace

int main() {
  TempDir dir;
  if (!dir.Create(std::filesystem::temp_directory_path(), "thadminbench.")) return 1;
  std::string error;
  if (!LargeConfig(dir.Path()).Save(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("tarnhold.dat: %ju bytes, 500 rules, 200 local users\n",
              static_cast<std::uintmax_t>(std::filesystem::file_size(dir.Path() / "tarnhold.dat")));

  RecordingMessageBox boxes;
  RecordingLauncher launcher;
  constexpr int kRounds = 10;
  std::size_t shown = 0;
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    AdminSession session(dir.Path(), boxes, launcher);
    session.StartUp();
    session.Select(TreeSelection{"Rule 250 - rule number 250", ""});
    RulePagesView rule_view = RefillRulePages(session);
    SettingsView settings_view = RefillSettingsPages(session);
    shown += rule_view.areas.size() + UserAddresses(session, 199).size() +
             static_cast<std::size_t>(settings_view.local_users_enabled) + session.Tree().size();
  }
  std::printf("start-up (load, tree, first refill): %.2f ms\n", MillisecondsSince(start, kRounds));

  AdminSession session(dir.Path(), boxes, launcher);
  session.StartUp();
  start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    session.Config().rules[static_cast<std::size_t>(i)].Comment = "changed " + std::to_string(i);
    if (session.Ok({}) != SaveOutcome::Saved) {
      std::fprintf(stderr, "save refused: %s\n", boxes.LastText().c_str());
      return 1;
    }
  }
  std::printf("save (checks, tarnhold.dat, list files): %.2f ms\n",
              MillisecondsSince(start, kRounds));
  return shown == 0 ? 1 : 0;
}
