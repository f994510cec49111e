// thgate's window over a stand-in engine with real logs: its controls and texts, the hidden
// start, Escape and the close box, the buttons and tray items (programs through a recording
// launcher), the exit routine, signal commands and notices posted from engine threads.
#include "apps/thgate/window/gate_window.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <atomic>
#include <thread>

#include "apps/thgate/window/gate_tray.h"
#include "widgets/history_view.h"

using namespace tarnhold;

namespace {

const std::filesystem::path kFolder = "/opt/tarnhold/bin";
const std::filesystem::path kRoot = "/srv/tarnhold";

// The engine's side: real logs, counted commands.
class StandInEngine : public WindowHost {
 public:
  LogHistory& Log(WindowLog log) override { return logs[static_cast<int>(log)]; }
  std::filesystem::path DataRoot() const override { return kRoot; }
  void SetEvents(EngineEvents* e) override {
    AttachLogEvents([this](WindowLog log) -> CUH_Control& { return logs[static_cast<int>(log)]; },
                    e);
    events.store(e);
  }
  StartResult Start() override {
    ++starts;
    return StartResult::Started;
  }
  void Reload() override { ++reloads; }
  int Exit() override {
    ++exits;
    return 1;
  }

  CUH_Control logs[kWindowLogCount] = {CUH_Control(kPop3LogName), CUH_Control(kSmtpInLogName),
                                       CUH_Control(kSweepLogName), CUH_Control(kSmtpOutLogName)};
  std::atomic<EngineEvents*> events{nullptr};
  int starts = 0, reloads = 0, exits = 0;
};

QStringList MenuTexts(const QMenu& menu) {
  QStringList texts;
  for (QAction* a : menu.actions()) texts << (a->isSeparator() ? QString() : a->text());
  return texts;
}

}  // namespace

class GateWindowTest : public QObject {
  Q_OBJECT

  std::unique_ptr<StandInEngine> engine_;
  std::unique_ptr<RecordingLauncher> launcher_;
  std::unique_ptr<RecordingMessageBox> box_;
  std::unique_ptr<GateWindow> window_;

  GateWindow& Make(GateWindow::TrayChoice tray) {
    window_ = std::make_unique<GateWindow>(*engine_, *launcher_, *box_, kFolder);
    [&] { QCOMPARE(window_->Begin(tray), StartResult::Started); }();
    return *window_;
  }

  void Save(QWidget& widget, const char* page) {
    widget.grab().save(QString(TH_SCREENSHOT_DIR "/thgate_%1.png").arg(page));
  }

 private slots:
  void init() {
    engine_ = std::make_unique<StandInEngine>();
    launcher_ = std::make_unique<RecordingLauncher>();
    box_ = std::make_unique<RecordingMessageBox>();
  }
  void cleanup() { window_.reset(); }

  void ControlsAndTextsInTheirOrder() {
    GateWindow& w = Make(GateWindow::TrayChoice::Absent);
    QCOMPARE(w.windowTitle(), QString("Velgrant Tarnhold"));
    const char* labels[] = {"POP3 Download", "SMTP Server", "Content Sweeper", "SMTP Agent"};
    int last_y = -1;
    for (int i = 0; i < kWindowLogCount; ++i) {
      QCOMPARE(w.Label(WindowLog(i))->text(), QString(labels[i]));
      QVERIFY(w.View(WindowLog(i))->y() > last_y);  // stacked top to bottom
      last_y = w.View(WindowLog(i))->y();
    }
    const char* buttons[] = {"Administrator", "Queue Manager", "Queue Level Monitor", "Exit",
                             "Hide"};
    last_y = -1;
    for (std::size_t i = 0; i < std::size(kGateButtons); ++i) {
      QPushButton* b = w.Button(kGateButtons[i].command);
      QCOMPARE(b->text(), QString(buttons[i]));
      QVERIFY(b->x() > w.View(WindowLog::Pop3)->x());  // the right column
      QVERIFY(b->y() > last_y);
      last_y = b->y();
      QCOMPARE(b->isDefault(), kGateButtons[i].command == WindowCommand::Hide);
    }
    QCOMPARE(w.AboutAction()->text(), QString("&About thgate..."));
    QCOMPARE(w.contextMenuPolicy(), Qt::ActionsContextMenu);

    QMenu* menu = w.Tray()->Menu();
    QCOMPARE(menu->title(), QString("Options"));
    QCOMPARE(MenuTexts(*menu), (QStringList{"Status", "", "Message Area  Manager", "Administer",
                                            "Queue Level Status Monitor", "", "Exit"}));
    QCOMPARE(menu->defaultAction(), menu->actions().front());
    QCOMPARE(w.Tray()->Icon()->toolTip(), QString("Velgrant Tarnhold"));

    const char* lines[] = {"collecting mail for user@example.test",
                           "NEW Command: MAIL FROM:<a@example.test>",
                           "> OK <1@example.test> is from a@example.test",
                           "SMTPOUT To:b@example.test From:a@example.test"};
    for (int i = 0; i < kWindowLogCount; ++i) engine_->logs[i].AddStampedLine(lines[i], false);
    QTRY_VERIFY(w.View(WindowLog::SmtpOut)->RefreshCount() >= 2);
    Save(w, "window_test");
    Save(*menu, "tray_menu");
  }

  void StartsHiddenInTheTrayAndStaysHidden() {
    GateWindow& w = Make(GateWindow::TrayChoice::Present);
    QCOMPARE(engine_->starts, 1);
    QVERIFY(!w.isVisible());
    QVERIFY(w.FlaggedHidden());
    // Shown by anybody but the operator's Status, it hides again.
    w.show();
    QTRY_VERIFY(!w.isVisible());
    // A single click does nothing; a double click runs the default item, Status, which shows
    // it; Hide hides it and sets the flag again.
    emit w.Tray()->Icon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(!w.isVisible());
    emit w.Tray()->Icon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(w.isVisible());
    QVERIFY(!w.FlaggedHidden());
    QTest::mouseClick(w.Button(WindowCommand::Hide), Qt::LeftButton);
    QVERIFY(!w.isVisible());
    QVERIFY(w.FlaggedHidden());
  }

  void WithoutATrayTheWindowIsShownAndOnlyExitEndsIt() {
    GateWindow& w = Make(GateWindow::TrayChoice::Absent);
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(!w.close());
    QApplication::processEvents();
    QVERIFY(w.isVisible());
    QCOMPARE(engine_->exits, 0);
    // Hide minimises: with no tray nothing else could bring the window back.
    QTest::mouseClick(w.Button(WindowCommand::Hide), Qt::LeftButton);
    QVERIFY(w.isVisible());
    QVERIFY(w.isMinimized());
    QVERIFY(!w.FlaggedHidden());
  }

  void CommandsStartTheirPrograms_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("program");
    QTest::newRow("button Administrator") << "Administrator"
                                          << "thadmin";
    QTest::newRow("button Queue Manager") << "Queue Manager"
                                          << "thqueue";
    QTest::newRow("button Queue Level Monitor") << "Queue Level Monitor"
                                                << "thmon";
    QTest::newRow("menu Administer") << "menu:Administer"
                                     << "thadmin";
    QTest::newRow("menu Message Area  Manager") << "menu:Message Area  Manager"
                                                << "thqueue";
    QTest::newRow("menu Queue Level Status Monitor") << "menu:Queue Level Status Monitor"
                                                     << "thmon";
  }
  void CommandsStartTheirPrograms() {
    QFETCH(QString, control);
    QFETCH(QString, program);
    GateWindow& w = Make(GateWindow::TrayChoice::Absent);
    for (bool fail : {false, true}) {
      launcher_->calls.clear();
      launcher_->fail = fail;  // a failure to start is ignored
      if (control.startsWith("menu:")) {
        for (QAction* a : w.Tray()->Menu()->actions()) {
          if (a->text() == control.mid(5)) a->trigger();
        }
      } else {
        for (const CommandControl& c : kGateButtons) {
          if (control == c.text) QTest::mouseClick(w.Button(c.command), Qt::LeftButton);
        }
      }
      QCOMPARE(launcher_->calls.size(), std::size_t(1));
      QCOMPARE(QString::fromStdString(launcher_->calls[0].program),
               QString::fromStdString((kFolder / program.toStdString()).string()));
      QCOMPARE(launcher_->calls[0].args, (std::vector<std::string>{"--root", kRoot.string()}));
      QVERIFY(box_->Shown().empty());
      QVERIFY(w.isVisible());
    }
  }

  void ExitRunsTheExitRoutineOnce_data() {
    QTest::addColumn<bool>("from_menu");
    QTest::newRow("button") << false;
    QTest::newRow("tray menu") << true;
  }
  void ExitRunsTheExitRoutineOnce() {
    QFETCH(bool, from_menu);
    GateWindow& w = Make(GateWindow::TrayChoice::Present);
    QSignalSpy exit(&w, &GateWindow::exitRequested);
    if (from_menu) {
      w.Tray()->Menu()->actions().back()->trigger();
    } else {
      QTest::mouseClick(w.Button(WindowCommand::Exit), Qt::LeftButton);
    }
    w.RunCommand(WindowCommand::Exit);
    QCOMPARE(engine_->exits, 1);
    QCOMPARE(exit.count(), 1);
    QCOMPARE(exit.at(0).at(0).toInt(), 1);
    QVERIFY(!w.Tray()->Shown());
    QCOMPARE(engine_->events.load(), nullptr);  // no engine thread posts any more
  }

  void SignalCommandsFromAnotherThreadRunOnTheWindowsThread() {
    GateWindow& w = Make(GateWindow::TrayChoice::Present);
    QSignalSpy exit(&w, &GateWindow::exitRequested);
    std::thread signal_thread([&] {
      engine_->events.load()->CommandRequested(EngineCommand::Reload);
      engine_->events.load()->CommandRequested(EngineCommand::Exit);
    });
    signal_thread.join();
    QCOMPARE(engine_->reloads, 0);  // posted, not run on the signal thread
    QTRY_COMPARE(exit.count(), 1);
    QCOMPARE(engine_->reloads, 1);
    QCOMPARE(engine_->exits, 1);
  }

  void NoticesFromEngineThreadsAreShownWithoutWaiting() {
    Make(GateWindow::TrayChoice::Present);
    std::thread sweeper([&] {
      EngineEvents* e = engine_->events.load();
      e->NoticeRaised(NoticeKind::Error, "Error", "File Read Error");
      e->NoticeRaised(NoticeKind::Information, "thgate", "/srv/tarnhold/quaran/errors/1");
      for (int i = 0; i < 200; ++i) e->NoticeRaised(NoticeKind::Error, "Error", "File Read Error");
    });
    sweeper.join();  // the engine thread never waited for a box
    QTRY_VERIFY(box_->Shown().size() >= 2);
    QApplication::processEvents();
    const auto& shown = box_->Shown();
    QCOMPARE(shown[0].title, std::string("Error"));
    QCOMPARE(shown[0].text, std::string("File Read Error"));
    QCOMPARE(shown[0].icon, BoxIcon::Error);
    QCOMPARE(shown[1].text, std::string("/srv/tarnhold/quaran/errors/1"));
    QVERIFY(shown.size() <= 2 * kMaxWaitingNotices + 2);  // a flood is bounded
  }
};

QTEST_MAIN(GateWindowTest)
#include "gate_window_test.moc"
