// What the thadmin logic tests share: a session on a fresh root with recording seams.
#pragma once

#include <memory>
#include <string>

#include "admin/admin_session.h"
#include "tests/support/temp_root.h"

namespace tarnhold::test {

struct AdminFixture {
  TempRoot root;
  RecordingMessageBox boxes;
  RecordingLauncher launcher;
  std::unique_ptr<AdminSession> session;

  // Writes tarnhold.dat (when `config_text` is not empty) and starts a session on the root.
  explicit AdminFixture(const std::string& config_text = "") {
    if (!config_text.empty()) root.Write("tarnhold.dat", config_text);
    session = std::make_unique<AdminSession>(root.Path(), boxes, launcher,
                                             DialUpSources{root / "peers", root / "dev"});
    session->StartUp();
  }
  // A second window on the same root.
  std::unique_ptr<AdminSession> SecondWindow(RecordingMessageBox& other_boxes) {
    auto other = std::make_unique<AdminSession>(root.Path(), other_boxes, launcher);
    other->StartUp();
    return other;
  }
  AdminSession& S() { return *session; }
  // Selects rule n's item, as a click on it does.
  void SelectRule(int n) {
    session->Select(TreeSelection{"Rule " + std::to_string(n) + " - x", ""});
  }
};

inline constexpr const char* kOneRule =
    "[Defaults]\nSMTPInPort=2525\n\n[Rule0]\nEnabled=1\nComment=first\n";

}  // namespace tarnhold::test
