// The monitor's window driven as an operator would, its alert received by a recording SMTP
// sink on loopback. Pictures of the window go to the screenshot folder.
#include "apps/thmon/window/monitor_window.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "tests/support/recording_smtp_sink.h"
#include "tests/support/temp_root.h"

namespace fs = std::filesystem;
using namespace tarnhold;

class MonitorWindowTest : public QObject {
  Q_OBJECT

 private:
  test::TempRoot root_;
  RecordingMessageBox boxes_;
  std::unique_ptr<test::RecordingSmtpSink> sink_;
  std::unique_ptr<MonitorWindow> window_;

  void Open() {
    window_ =
        std::make_unique<MonitorWindow>(root_ / "cfg/thmon.cfg", root_.Path(), boxes_,
                                        [](const QString&, const QString&) { return QString(); });
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  void Snap(const char* page) {
    fs::create_directories(TH_SCREENSHOT_DIR);
    window_->grab().save(QString("%1/thmon_%2.png").arg(TH_SCREENSHOT_DIR, page));
  }
  void CheckNow() {
    QSignalSpy done(window_.get(), &MonitorWindow::CheckFinished);
    QTest::mouseClick(window_->Button("Check now"), Qt::LeftButton);
    QVERIFY(done.wait(15000));
  }

 private slots:
  void initTestCase() {
    sink_ = std::make_unique<test::RecordingSmtpSink>();
    QVERIFY(sink_->Listening());
    fs::create_directories(root_ / "queproc");
    fs::create_directories(root_ / "que");
    for (int i = 1; i <= 12; ++i) std::ofstream(root_ / "queproc" / std::to_string(i)) << "x";
    for (int i = 1; i <= 3; ++i) std::ofstream(root_ / "que" / std::to_string(i)) << "x";
    Open();
  }

  void OpensWithTheDefaults() {
    QCOMPARE(window_->windowTitle(), QString("Tarnhold Status Monitor"));
    QCOMPARE(window_->Status()->text(), QString("Ready"));
    QCOMPARE(window_->Edit("CheckInterval")->text(), QString("60"));
    QCOMPARE(window_->Edit("PendingAlarm")->text(), QString("250"));
    QVERIFY(!window_->TimerActive());
    Snap("defaults");
  }

  void IntervalZeroIsRefused() {
    window_->Edit("CheckInterval")->setText("0");
    QTest::mouseClick(window_->Box("EnableMonitoring"), Qt::LeftButton);
    QCOMPARE(QString::fromStdString(boxes_.LastText()),
             QString("please specify check interval value between 1 and 999999"));
    QVERIFY(!window_->Box("EnableMonitoring")->isChecked());
    QVERIFY(!window_->TimerActive());
  }

  void CheckNowMailsTheAlert() {
    window_->Edit("CheckInterval")->setText("30");
    window_->Box("CheckPending")->setChecked(true);
    window_->Edit("PendingAlarm")->setText("10");
    window_->Box("CheckSend")->setChecked(true);
    window_->Edit("SMTPServer")->setText(QString("127.0.0.1:%1").arg(sink_->Port()));
    window_->Edit("SMTPRecipients")->setText("postmaster@local.test");
    window_->Edit("SMTPSender")->setText("thmon@local.test");
    CheckNow();
    QCOMPARE(window_->Edit("PendingCount")->text(), QString("12"));
    QCOMPARE(window_->Edit("SendCount")->text(), QString("3"));
    QTRY_COMPARE(window_->Status()->text(), QString("notification sent OK"));
    QVERIFY(sink_->WaitForMessages(1));
    auto m = sink_->Messages().at(0);
    QVERIFY(m.data.find("Pending items 12, alert level 10\r\n\r\nSend items 3, alert level 500") !=
            std::string::npos);
    Snap("alert");
    CheckNow();  // the level is still passed: no second mail
    QTRY_COMPARE(window_->Status()->text(), QString("no alert to trigger at this time"));
  }

  void MonitoringLocksTheSettingsAndExitSaves() {
    QTest::mouseClick(window_->Box("EnableMonitoring"), Qt::LeftButton);
    QVERIFY(window_->TimerActive());
    QVERIFY(!window_->Edit("PendingAlarm")->isEnabled());
    Snap("monitoring");
    QTest::mouseClick(window_->Button("Exit"), Qt::LeftButton);
    const std::string saved = test::TempRoot::Read(root_ / "cfg/thmon.cfg");
    QVERIFY(saved.find("EnableMonitoring=1\nCheckInterval=30\nCheckPending=1\n") !=
            std::string::npos);
    window_.reset();
    Open();  // the settings come back
    QVERIFY(window_->TimerActive());
    QCOMPARE(window_->Edit("PendingAlarm")->text(), QString("10"));
  }

  void cleanupTestCase() { window_.reset(); }
};

QTEST_MAIN(MonitorWindowTest)
#include "monitor_window_test.moc"
