// The queue manager's window driven as an operator would: choose a folder, wait for the rows,
// select, preview, act; every message box is read from the recording seam. Pictures of the
// window go to the screenshot folder.
#include "apps/thqueue/window/queue_window.h"

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "tests/queues/queue_test_util.h"
#include "tests/support/temp_root.h"

namespace fs = std::filesystem;
using namespace tarnhold;

namespace {

void Snap(QWidget& w, const char* page) {
  fs::create_directories(TH_SCREENSHOT_DIR);
  w.grab().save(QString("%1/thqueue_%2.png").arg(TH_SCREENSHOT_DIR, page));
}

std::string Eml(const char* name) {
  std::ifstream in(test::DataFile(std::string("mail/") + name), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

class QueueWindowTest : public QObject {
  Q_OBJECT

 private:
  test::TempRoot root_;
  SpoolLayout layout_{root_.Path()};
  RecordingMessageBox boxes_;
  QString chosen_folder_;
  std::unique_ptr<QueueWindow> window_;

  void Choose(const QString& label) {
    int index = window_->FolderList()->findText(label);
    QVERIFY(index >= 0);
    window_->FolderList()->setCurrentIndex(index);
    emit window_->FolderList()->activated(index);
  }
  void WaitForRows(int rows) {
    QTRY_VERIFY_WITH_TIMEOUT(
        !window_->Listing() && window_->MessageList()->model()->rowCount() == rows, 10000);
  }
  void SelectRows(std::initializer_list<int> rows) {
    auto* view = window_->MessageList();
    view->clearSelection();
    for (int r : rows) {
      view->selectionModel()->select(view->model()->index(r, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }
  QString Cell(int row, int column) {
    return window_->MessageList()->model()->index(row, column).data().toString();
  }

 private slots:
  void initTestCase() {
    for (auto f : SpoolLayout::kFolders) fs::create_directories(root_ / f);
    const char* subjects[] = {"Cheap watches", "Your invoice", "Meeting notes", "Winner!"};
    const char* dates[] = {"Mon, 7 Dec 2026 09:15:00 +0000", "Fri, 4 Dec 2026 17:02:11 +0000",
                           "Sun, 6 Dec 2026 08:00:00 +0000", "Thu, 3 Dec 2026 23:59:59 +0000"};
    for (int i = 0; i < 4; ++i) {
      test::WriteItem(
          root_ / "quaran/junk", std::to_string(i + 1),
          test::ItemBytes("anna@local.test", "offers@far.test",
                          test::MessageText("Anna <anna@local.test>", "Offers <offers@far.test>",
                                            subjects[i], dates[i])));
    }
    test::WriteItem(root_ / "quaran/virus", "1",
                    test::ItemBytes("bob@local.test", "carol@partner.test", Eml("mixed-pdf.eml")));
    test::WriteItem(
        root_ / "que", "1",
        test::ItemBytes("x@y.test", "a@b.test", test::MessageText("x@y.test", "a@b.test", "s")));
    window_ = std::make_unique<QueueWindow>(
        layout_, boxes_, [this](const QString&, const QString&) { return chosen_folder_; });
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

  void OpensWithFoldersAndAnEmptyList() {
    QCOMPARE(window_->windowTitle(), QString("Velgrant Tarnhold Queues"));
    QStringList labels;
    for (int i = 0; i < window_->FolderList()->count(); ++i) {
      labels << window_->FolderList()->itemText(i);
    }
    QCOMPARE(labels.mid(0, 4), (QStringList{"Pending", "Send", "Archive", "Off-peak"}));
    QVERIFY(labels.contains("Quarantine\\junk"));
    QVERIFY(labels.contains("Quarantine\\virus"));
    QCOMPARE(window_->MessageList()->model()->rowCount(), 0);
    for (const char* b : {"Refresh", "Allow", "Allow +sender SPAM free", "Delete",
                          "Move to any folder", "Archives", "Close"}) {
      QVERIFY2(window_->Button(b), b);
    }
    Snap(*window_, "empty");
  }

  void ListsSortedByDateTextAndPreviews() {
    Choose("Quarantine\\virus");
    WaitForRows(1);
    SelectRows({0});
    QTRY_VERIFY(!window_->Body()->toPlainText().isEmpty());
    QVERIFY(window_->AttachmentList()->count() >= 1);
    QCOMPARE(window_->AttachmentList()->item(0)->text(), QString("report.pdf"));
    Snap(*window_, "preview");

    Choose("Quarantine\\junk");
    WaitForRows(4);
    // Sorted by the Date column as text: "Fri" < "Mon" < "Sun" < "Thu".
    QCOMPARE(Cell(0, 4), QString("your invoice"));
    QCOMPARE(Cell(3, 4), QString("winner!"));
    QCOMPARE(Cell(0, 1), QString("2"));
    SelectRows({1});
    QTRY_COMPARE(window_->Body()->toPlainText(), QString("Hello.\n"));
    Snap(*window_, "list");
  }

  void AllowAndTrustMovesToTheSendQueue() {
    boxes_.Clear();
    SelectRows({0, 3});  // items 2 and 4
    QTest::mouseClick(window_->Button("Allow +sender SPAM free"), Qt::LeftButton);
    WaitForRows(2);
    QVERIFY(boxes_.Shown().empty());
    QCOMPARE(ListItemNumbers(root_ / "que"), (std::vector<std::uint32_t>{1, 2, 3}));
    QCOMPARE(QString::fromStdString(test::TempRoot::Read(root_ / "spamfree.dat")),
             QString("offers@far.test\n"));
  }

  void RefusalsAreShownInBoxes() {
    boxes_.Clear();
    window_->MessageList()->clearSelection();
    QTest::mouseClick(window_->Button("Delete"), Qt::LeftButton);
    QCOMPARE(QString::fromStdString(boxes_.LastText()), QString("no items selected"));

    SelectRows({0});
    const QString held = Cell(0, 1);
    LockedFile holder;
    std::string error;
    QVERIFY(holder.OpenLocked(root_ / "quaran/junk" / held.toStdString(), Access::ReadWrite,
                              error) == LockResult::Locked);
    QTest::mouseClick(window_->Button("Delete"), Qt::LeftButton);
    QCOMPARE(QString::fromStdString(boxes_.LastText()),
             QString("Access denied: %1 the messages is being currently sent by Tarnhold SMTP "
                     "Delivery")
                 .arg(held));
    WaitForRows(1);  // an item the gateway holds cannot be read, so it is not listed
    holder.Close();
    QTest::mouseClick(window_->Button("Refresh"), Qt::LeftButton);
    WaitForRows(2);

    chosen_folder_ = QString::fromStdString((root_ / "que").string());
    QTest::mouseClick(window_->Button("Archives"), Qt::LeftButton);
    QCOMPARE(QString::fromStdString(boxes_.LastText()),
             QString("Please select a valid archive folder"));
  }

  void MoveAndArchive() {
    SelectRows({0, 1});
    chosen_folder_ = QString::fromStdString((root_ / "archive/2026").string());
    fs::create_directories(root_ / "archive/2026");
    QTest::mouseClick(window_->Button("Move to any folder"), Qt::LeftButton);
    WaitForRows(0);
    QCOMPARE(ListItemNumbers(root_ / "archive/2026"), (std::vector<std::uint32_t>{1, 2}));
    QTest::mouseClick(window_->Button("Archives"), Qt::LeftButton);
    WaitForRows(2);
    QCOMPARE(window_->FolderList()->currentText(), QString("Archive"));
    QCOMPARE(window_->CurrentFolder(), root_ / "archive/2026");
  }

  void cleanupTestCase() { window_.reset(); }
};

QTEST_MAIN(QueueWindowTest)
#include "queue_window_test.moc"
