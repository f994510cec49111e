// thgate's main window: the four history views, the five buttons and the tray icon, on top of
// the engine's WindowHost. It starts as a tray icon only (hidden); Escape and the close box do
// nothing, so only Exit ends the gateway. Engine threads reach it only through EngineEvents,
// whose calls post to the window's thread: log lines, notices shown as boxes that no engine
// thread waits for, and the commands of signals.
#pragma once

#include <QColor>
#include <QDialog>
#include <array>
#include <atomic>
#include <deque>
#include <filesystem>
#include <string>

#include "desktop/gate_commands.h"
#include "desktop/message_box.h"
#include "desktop/program_launcher.h"
#include "engine/window_host.h"

class QAction;
class QLabel;
class QPushButton;

namespace tarnhold {

class GateTray;
class HistoryView;

// thgate's colour in its icon.
inline const QColor kGateAccent(0x1f, 0x5f, 0x9f);

// At most this many notices wait for their box; more are dropped (each is in its log already).
inline constexpr std::size_t kMaxWaitingNotices = 16;

class GateWindow : public QDialog, public EngineEvents {
  Q_OBJECT

 public:
  // `program_folder` holds the sibling programs the buttons start.
  GateWindow(WindowHost& host, ProgramLauncher& launcher, MessageBoxSeam& box,
             std::filesystem::path program_folder, QWidget* parent = nullptr);
  ~GateWindow() override;

  // The window's initialisation: the tray icon, the hidden start (or, with no system tray, a
  // shown window, since nothing else could bring it up), the events and the start-up sequence.
  // `tray` says whether the desktop has a system tray (QSystemTrayIcon asked by default).
  enum class TrayChoice { AskDesktop, Present, Absent };
  [[nodiscard]] StartResult Begin(TrayChoice tray = TrayChoice::AskDesktop);

  // Runs a button's or menu item's command.
  void RunCommand(WindowCommand command);

  // Saves a picture of the window once `lines` lines have come in (a test aid).
  void GrabAfterLines(int lines, const QString& file);

  [[nodiscard]] bool FlaggedHidden() const { return hidden_flag_; }
  [[nodiscard]] HistoryView* View(WindowLog log) const;
  [[nodiscard]] QLabel* Label(WindowLog log) const;
  [[nodiscard]] QPushButton* Button(WindowCommand command) const;
  [[nodiscard]] GateTray* Tray() const { return tray_; }
  [[nodiscard]] QAction* AboutAction() const { return about_; }

  // EngineEvents: called on engine threads; they only post.
  void LinesAdded(WindowLog log) override;
  void CommandRequested(EngineCommand command) override;
  void NoticeRaised(NoticeKind kind, std::string_view title, std::string_view text) override;

 signals:
  // The exit routine has run; the program ends with `code`.
  void exitRequested(int code);

 public slots:
  void reject() override;  // Escape: nothing

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void BuildControls();
  void HideIfFlagged();
  void ShowWindow();
  void HideWindow();
  void ExitRoutine();
  void QueueNotice(BoxRequest request);
  void ShowNotices();
  void SaveGrab();

  WindowHost& host_;
  ProgramLauncher& launcher_;
  MessageBoxSeam& box_;
  std::filesystem::path program_folder_;
  std::array<HistoryView*, kWindowLogCount> views_{};
  std::array<QLabel*, kWindowLogCount> labels_{};
  std::array<QPushButton*, std::size(kGateButtons)> buttons_{};
  QAction* about_ = nullptr;
  GateTray* tray_ = nullptr;
  bool hidden_flag_ = false;
  bool exiting_ = false;
  std::deque<BoxRequest> notices_;
  bool showing_notice_ = false;
  std::atomic<long> lines_seen_{0};
  std::atomic<long> grab_after_{0};
  QString grab_file_;
};

}  // namespace tarnhold
