#include "apps/thmon/window/monitor_window.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr const char* kIntervalRefused = "please specify check interval value between 1 and 999999";
// The timer's period is the interval times 1000 ms; larger intervals are taken as this.
constexpr int kLongestInterval = 999999;

QString Text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

MonitorWindow::MonitorWindow(fs::path config_file, fs::path data_root, MessageBoxSeam& boxes,
                             FolderChooser choose_folder, QWidget* parent)
    : QDialog(parent),
      config_file_(std::move(config_file)),
      data_root_(std::move(data_root)),
      boxes_(boxes),
      choose_folder_(std::move(choose_folder)) {
  setWindowTitle(kMonitorWindowTitle);
  auto edit = [this](const char* name, int width, bool numeric = false) {
    auto* e = new QLineEdit(this);
    e->setObjectName(name);
    if (width) e->setFixedWidth(width);
    if (numeric) e->setValidator(new QIntValidator(0, 999999999, e));
    return e;
  };
  auto box = [this](const char* name, const char* text) {
    auto* b = new QCheckBox(text, this);
    b->setObjectName(name);
    return b;
  };

  // The watch: interval and the three queues with their alert levels.
  auto* watch = new QGridLayout;
  watch->addWidget(box("EnableMonitoring", "Check status every"), 0, 0);
  watch->addWidget(edit("CheckInterval", 80, true), 0, 1);
  watch->addWidget(new QLabel("seconds", this), 0, 2);
  const char* rows[3][4] = {{"Pending", "PendingCount", "CheckPending", "PendingAlarm"},
                            {"Off-peak delay", "OffPeakCount", "CheckOffPeak", "OffPeakAlarm"},
                            {"Send", "SendCount", "CheckSend", "SendAlarm"}};
  for (int r = 0; r < 3; ++r) {
    watch->addWidget(new QLabel(rows[r][0], this), r + 1, 0);
    QLineEdit* count = edit(rows[r][1], 80);
    count->setReadOnly(true);
    watch->addWidget(count, r + 1, 1);
    watch->addWidget(box(rows[r][2], "Alert level"), r + 1, 2);
    watch->addWidget(edit(rows[r][3], 80, true), r + 1, 3);
  }
  watch->setColumnStretch(4, 1);

  auto* path = new QHBoxLayout;
  path->addWidget(new QLabel("Tarnhold application path", this));
  path->addWidget(edit("TarnholdPath", 0), 1);
  auto* browse = new QPushButton("Browse", this);
  path->addWidget(browse);

  auto* actions = new QGroupBox("Alert actions", this);
  auto* a = new QGridLayout(actions);
  auto* note = new QLabel(
      "When any queue reaches the alert level or a connection to the Tarnhold SMTP port fails:",
      this);
  note->setWordWrap(true);
  a->addWidget(note, 0, 0, 1, 4);
  a->addWidget(box("EnableTrySMTPHost", "Attempt SMTP connection to Tarnhold host"), 1, 0);
  a->addWidget(edit("TrySMTPHostAddress", 0), 1, 1);
  a->addWidget(new QLabel("on port", this), 1, 2);
  a->addWidget(edit("TrySMTPPort", 60, true), 1, 3);
  a->addWidget(new QLabel("send notifications via SMTP Server", this), 2, 0);
  a->addWidget(edit("SMTPServer", 0), 2, 1, 1, 3);
  a->addWidget(new QLabel("message recipient(s) - separate with a comma", this), 3, 0);
  a->addWidget(edit("SMTPRecipients", 0), 3, 1, 1, 3);
  a->addWidget(new QLabel("message sender should appear as", this), 4, 0);
  a->addWidget(edit("SMTPSender", 0), 4, 1, 1, 3);

  status_ = new QLabel("Ready", this);
  status_->setFrameShape(QFrame::StyledPanel);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(status_, 1);
  auto* check_now = new QPushButton("Check now", this);
  auto* exit = new QPushButton("Exit", this);
  exit->setDefault(true);
  bottom->addWidget(check_now);
  bottom->addWidget(exit);

  auto* all = new QVBoxLayout(this);
  all->addLayout(watch);
  all->addLayout(path);
  all->addWidget(actions);
  all->addLayout(bottom);
  resize(720, 360);

  Show(monitor::LoadMonitorSettings(config_file_));
  connect(Box("EnableMonitoring"), &QCheckBox::clicked, this, &MonitorWindow::ApplyMonitoring);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (Settings().enable_monitoring == 1) StartCheck();
  });
  connect(check_now, &QPushButton::clicked, this, [this] { StartCheck(); });
  connect(browse, &QPushButton::clicked, this, &MonitorWindow::Browse);
  connect(exit, &QPushButton::clicked, this, &MonitorWindow::SaveAndExit);
  ApplyMonitoring();
}

MonitorWindow::~MonitorWindow() {
  timer_.stop();
  JoinCheck();
}

void MonitorWindow::JoinCheck() {
  if (check_thread_.joinable()) check_thread_.join();
}

QLineEdit* MonitorWindow::Edit(const char* name) const { return findChild<QLineEdit*>(name); }
QCheckBox* MonitorWindow::Box(const char* name) const { return findChild<QCheckBox*>(name); }

QPushButton* MonitorWindow::Button(const QString& text) const {
  for (QPushButton* b : findChildren<QPushButton*>()) {
    if (b->text() == text) return b;
  }
  return nullptr;
}

monitor::MonitorSettings MonitorWindow::Settings() const {
  monitor::MonitorSettings s;
  auto number = [this](const char* name) { return Edit(name)->text().toInt(); };
  auto text = [this](const char* name) {
    return Edit(name)->text().left(monitor::kSettingBufferSize - 1).toStdString();
  };
  auto ticked = [this](const char* name) { return Box(name)->isChecked() ? 1 : 0; };
  s.enable_monitoring = ticked("EnableMonitoring");
  s.check_interval = number("CheckInterval");
  s.check_pending = ticked("CheckPending");
  s.check_off_peak = ticked("CheckOffPeak");
  s.check_send = ticked("CheckSend");
  s.tarnhold_path = text("TarnholdPath");
  s.pending_alarm = number("PendingAlarm");
  s.off_peak_alarm = number("OffPeakAlarm");
  s.send_alarm = number("SendAlarm");
  s.smtp_server = text("SMTPServer");
  s.smtp_recipients = text("SMTPRecipients");
  s.smtp_sender = text("SMTPSender");
  s.enable_try_smtp_host = ticked("EnableTrySMTPHost");
  s.try_smtp_host_address = text("TrySMTPHostAddress");
  s.try_smtp_port = number("TrySMTPPort");
  return s;
}

void MonitorWindow::Show(const monitor::MonitorSettings& s) {
  Box("EnableMonitoring")->setChecked(s.enable_monitoring == 1);
  Edit("CheckInterval")->setText(QString::number(s.check_interval));
  Box("CheckPending")->setChecked(s.check_pending == 1);
  Box("CheckOffPeak")->setChecked(s.check_off_peak == 1);
  Box("CheckSend")->setChecked(s.check_send == 1);
  Edit("TarnholdPath")->setText(Text(s.tarnhold_path));
  Edit("PendingAlarm")->setText(QString::number(s.pending_alarm));
  Edit("OffPeakAlarm")->setText(QString::number(s.off_peak_alarm));
  Edit("SendAlarm")->setText(QString::number(s.send_alarm));
  Edit("SMTPServer")->setText(Text(s.smtp_server));
  Edit("SMTPRecipients")->setText(Text(s.smtp_recipients));
  Edit("SMTPSender")->setText(Text(s.smtp_sender));
  Box("EnableTrySMTPHost")->setChecked(s.enable_try_smtp_host == 1);
  Edit("TrySMTPHostAddress")->setText(Text(s.try_smtp_host_address));
  Edit("TrySMTPPort")->setText(QString::number(s.try_smtp_port));
}

void MonitorWindow::SetSettingControlsEnabled(bool enabled) {
  for (const char* name :
       {"CheckInterval", "PendingAlarm", "OffPeakAlarm", "SendAlarm", "TarnholdPath", "SMTPServer",
        "SMTPRecipients", "SMTPSender", "TrySMTPHostAddress", "TrySMTPPort"}) {
    Edit(name)->setEnabled(enabled);
  }
  for (const char* name : {"CheckPending", "CheckOffPeak", "CheckSend", "EnableTrySMTPHost"}) {
    Box(name)->setEnabled(enabled);
  }
  Button("Browse")->setEnabled(enabled);
}

void MonitorWindow::ApplyMonitoring() {
  monitor::MonitorSettings s = Settings();
  if (s.enable_monitoring != 1) {
    timer_.stop();
    SetSettingControlsEnabled(true);
  } else if (s.check_interval <= 0) {
    boxes_.Inform(kMonitorWindowTitle, kIntervalRefused);
    s.enable_monitoring = 0;
    Show(s);
  } else {
    SetSettingControlsEnabled(false);
    timer_.start(std::min(s.check_interval, kLongestInterval) * 1000);
  }
  SetStatus("Ready");
}

void MonitorWindow::SetStatus(const QString& text) { status_->setText(text); }

bool MonitorWindow::StartCheck() {
  if (checking_.exchange(true)) return false;
  JoinCheck();
  const monitor::MonitorSettings s = Settings();
  check_thread_ = std::thread([this, s] {
    monitor::CheckSeams seams;
    seams.status = [this](const std::string& line) {
      QMetaObject::invokeMethod(
          this, [this, text = Text(line)] { SetStatus(text); }, Qt::QueuedConnection);
    };
    monitor::CheckReport r =
        monitor::RunCheck(s, data_root_, states_, seams, monitor::ComputerName());
    QMetaObject::invokeMethod(
        this,
        [this, r] {
          Edit("PendingCount")->setText(QString::number(r.pending));
          Edit("OffPeakCount")->setText(QString::number(r.off_peak));
          Edit("SendCount")->setText(QString::number(r.send));
          checking_ = false;
          emit CheckFinished();
        },
        Qt::QueuedConnection);
  });
  return true;
}

void MonitorWindow::Browse() {
  QString chosen =
      choose_folder_("Select Tarnhold application folder path", Edit("TarnholdPath")->text());
  if (!chosen.isEmpty()) Edit("TarnholdPath")->setText(chosen);
}

void MonitorWindow::SaveAndExit() {
  if (!monitor::SaveMonitorSettings(config_file_, Settings())) {
    boxes_.Error(kMonitorWindowTitle, "could not write " + config_file_.string());
  }
  accept();
}

}  // namespace tarnhold
