#include "apps/thgate/window/gate_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <cstdio>

#include "apps/thgate/window/gate_tray.h"
#include "widgets/history_view.h"
#include "widgets/program_setup.h"

namespace tarnhold {
namespace {

struct LogPlace {
  WindowLog log;
  const char* label;
};
// Top to bottom.
constexpr LogPlace kLogPlaces[] = {
    {WindowLog::Pop3, kPop3LogName},
    {WindowLog::SmtpIn, kSmtpInLogName},
    {WindowLog::Sweep, kSweepLogName},
    {WindowLog::SmtpOut, kSmtpOutLogName},
};

// The dialog's 348 by 265 units and a history window's 253 by 53, in pixels of this font.
constexpr int kWindowWidth = 560;
constexpr int kWindowHeight = 470;
constexpr int kHistoryHeight = 84;

}  // namespace

GateWindow::GateWindow(WindowHost& host, ProgramLauncher& launcher, MessageBoxSeam& box,
                       std::filesystem::path program_folder, QWidget* parent)
    : QDialog(parent),
      host_(host),
      launcher_(launcher),
      box_(box),
      program_folder_(std::move(program_folder)) {
  setWindowTitle(QString::fromUtf8(kGateWindowTitle));
  setWindowIcon(ProgramIcon(kGateAccent));
  BuildControls();
  tray_ = new GateTray(
      windowIcon(), [this](WindowCommand c) { RunCommand(c); }, this);
}

GateWindow::~GateWindow() {
  // No engine thread may post to a window that is going away.
  host_.SetEvents(nullptr);
}

void GateWindow::BuildControls() {
  auto* logs = new QVBoxLayout;
  for (std::size_t i = 0; i < std::size(kLogPlaces); ++i) {
    labels_[i] = new QLabel(QString::fromUtf8(kLogPlaces[i].label), this);
    views_[i] = new HistoryView(host_.Log(kLogPlaces[i].log), this);
    views_[i]->setMinimumHeight(kHistoryHeight);
    logs->addWidget(labels_[i]);
    logs->addWidget(views_[i], 1);
  }
  auto* buttons = new QVBoxLayout;
  for (std::size_t i = 0; i < std::size(kGateButtons); ++i) {
    buttons_[i] = new QPushButton(QString::fromUtf8(kGateButtons[i].text), this);
    const WindowCommand command = kGateButtons[i].command;
    connect(buttons_[i], &QPushButton::clicked, this, [this, command] { RunCommand(command); });
    buttons->addWidget(buttons_[i]);
  }
  buttons->addStretch(1);
  Button(kDefaultButton)->setDefault(true);
  auto* columns = new QHBoxLayout(this);
  columns->addLayout(logs, 1);
  columns->addLayout(buttons);
  // No system menu to extend on every desktop: the about box is on the window's context menu.
  about_ = new QAction(QStringLiteral("&About thgate..."), this);
  connect(about_, &QAction::triggered, this,
          [this] { ShowAboutBox(this, QStringLiteral("thgate")); });
  addAction(about_);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  resize(kWindowWidth, kWindowHeight);
}

HistoryView* GateWindow::View(WindowLog log) const { return views_[static_cast<int>(log)]; }
QLabel* GateWindow::Label(WindowLog log) const { return labels_[static_cast<int>(log)]; }

QPushButton* GateWindow::Button(WindowCommand command) const {
  for (std::size_t i = 0; i < std::size(kGateButtons); ++i) {
    if (kGateButtons[i].command == command) return buttons_[i];
  }
  return nullptr;
}

StartResult GateWindow::Begin(TrayChoice tray) {
  const bool available = tray == TrayChoice::AskDesktop ? QSystemTrayIcon::isSystemTrayAvailable()
                                                        : tray == TrayChoice::Present;
  const bool in_tray = tray_->Create(available);
  Button(kDefaultButton)->setFocus();
  if (in_tray && grab_after_.load() == 0) {
    HideWindow();
  } else {
    // Nothing else could bring the window up: it is shown, and Hide minimises it.
    if (!available) std::fputs("thgate: no system tray; the window stays shown\n", stderr);
    ShowWindow();
  }
  host_.SetEvents(this);
  return host_.Start();
}

void GateWindow::RunCommand(WindowCommand command) {
  switch (command) {
    case WindowCommand::Administrator:
    case WindowCommand::QueueManager:
    case WindowCommand::QueueLevelMonitor:
      // Started and forgotten; a failure is ignored (StartCommandProgram says why on stderr).
      (void)StartCommandProgram(launcher_, command, program_folder_, host_.DataRoot(), stderr);
      return;
    case WindowCommand::Status:
      ShowWindow();
      return;
    case WindowCommand::Hide:
      HideWindow();
      return;
    case WindowCommand::Exit:
      ExitRoutine();
      return;
    case WindowCommand::Reload:
      host_.Reload();
      return;
  }
}

void GateWindow::ShowWindow() {
  hidden_flag_ = false;
  showNormal();
  raise();
  activateWindow();
}

void GateWindow::HideWindow() {
  if (!tray_->Shown()) {
    showMinimized();
    return;
  }
  hidden_flag_ = true;
  hide();
}

void GateWindow::ExitRoutine() {
  if (exiting_) return;
  exiting_ = true;
  host_.SetEvents(nullptr);
  const int code = host_.Exit();
  tray_->Remove();
  emit exitRequested(code);
}

void GateWindow::reject() {}

void GateWindow::closeEvent(QCloseEvent* event) { event->ignore(); }

void GateWindow::HideIfFlagged() {
  if (hidden_flag_) QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
}

void GateWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  HideIfFlagged();
}

void GateWindow::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  HideIfFlagged();
}

void GateWindow::LinesAdded(WindowLog log) {
  View(log)->NotifyLinesAdded();
  const long seen = lines_seen_.fetch_add(1) + 1;
  if (seen == grab_after_.load()) {
    QMetaObject::invokeMethod(
        this, [this] { SaveGrab(); }, Qt::QueuedConnection);
  }
}

void GateWindow::CommandRequested(EngineCommand command) {
  const WindowCommand wanted =
      command == EngineCommand::Reload ? WindowCommand::Reload : WindowCommand::Exit;
  QMetaObject::invokeMethod(
      this, [this, wanted] { RunCommand(wanted); }, Qt::QueuedConnection);
}

void GateWindow::NoticeRaised(NoticeKind kind, std::string_view title, std::string_view text) {
  BoxRequest request;
  request.title = std::string(title);
  request.text = std::string(text);
  request.icon = kind == NoticeKind::Error ? BoxIcon::Error : BoxIcon::Information;
  QMetaObject::invokeMethod(
      this, [this, request = std::move(request)]() mutable { QueueNotice(std::move(request)); },
      Qt::QueuedConnection);
}

void GateWindow::QueueNotice(BoxRequest request) {
  if (notices_.size() >= kMaxWaitingNotices) return;
  notices_.push_back(std::move(request));
  // Shown from a fresh pass of the event loop, never from inside another box's loop.
  if (!showing_notice_)
    QMetaObject::invokeMethod(
        this, [this] { ShowNotices(); }, Qt::QueuedConnection);
}

// One box at a time; the event loop (and the logs) go on while a box is open.
void GateWindow::ShowNotices() {
  if (showing_notice_) return;
  showing_notice_ = true;
  while (!notices_.empty() && !exiting_) {
    const BoxRequest request = std::move(notices_.front());
    notices_.pop_front();
    (void)box_.Show(request);
  }
  showing_notice_ = false;
}

void GateWindow::GrabAfterLines(int lines, const QString& file) {
  grab_file_ = file;
  grab_after_.store(lines);
  ShowWindow();
}

void GateWindow::SaveGrab() {
  // The views' refreshes were posted before this call, so the grab shows the lines.
  if (!grab().save(grab_file_)) {
    std::fprintf(stderr, "thgate: cannot save the window picture %s\n", qPrintable(grab_file_));
  }
}

}  // namespace tarnhold
