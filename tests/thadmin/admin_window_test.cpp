// The real thadmin window, driven as an operator drives it: select, tick, type, press; the
// messages read through the recording seam, the result read back with the gateway's reader.
#include "apps/thadmin/admin_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>

#include "admin/admin_texts.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

namespace text = admin_text;
using test::TempRoot;

constexpr const char* kConfig =
    "[Defaults]\nSMTPInPort=2525\nLocalDomain0=demo.test\n\n[Rule0]\nEnabled=1\nComment="
    "first\nAllIncoming=1\n";

struct WindowFixture {
  TempRoot root;
  RecordingMessageBox boxes;
  RecordingLauncher launcher;
  std::unique_ptr<AdminWindow> window;

  WindowFixture() {
    root.Write("tarnhold.dat", kConfig);
    root.Write("text/reply.txt", "Your message was held.\n");
    window = std::make_unique<AdminWindow>(root.Path(), boxes, launcher,
                                           DialUpSources{root / "peers", root / "dev"});
    window->show();
  }
  void Select(const QString& item, const QString& child = {}) {
    QTreeWidgetItem* found = window->Item(item, child);
    ASSERT_NE(found, nullptr) << item.toStdString() << " / " << child.toStdString();
    window->Tree()->setCurrentItem(found);
  }
  PageForm* Shown() { return window->Page(window->ShownPage()); }
  // A check box or radio button of the shown page by its text (or a long text's label).
  QAbstractButton* Button(const QString& label) {
    for (QAbstractButton* b : Shown()->findChildren<QAbstractButton*>()) {
      if (b->text() == label || b->accessibleName() == label) return b;
    }
    ADD_FAILURE() << "no button " << label.toStdString();
    return nullptr;
  }
  // Buttons of the same text on one page ("Add" twice): the n-th.
  QPushButton* Push(const QString& label, int n = 0) {
    for (QPushButton* b : Shown()->findChildren<QPushButton*>())
      if (b->text() == label && n-- == 0) return b;
    for (QPushButton* b : window->findChildren<QPushButton*>())
      if (b->text() == label && b->parentWidget() == window.get()) return b;
    ADD_FAILURE() << "no push button " << label.toStdString();
    return nullptr;
  }
  QLineEdit* Edit(const char* name) {
    auto* edit = Shown()->findChild<QLineEdit*>(name);
    EXPECT_NE(edit, nullptr) << name;
    return edit;
  }
  void Click(QAbstractButton* b) {
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(4, b->height() / 2));
  }
  void Screenshot(const std::string& page) {
    QDir().mkpath(TH_SCREENSHOT_DIR);
    window->grab().save(
        QString::fromStdString(std::string(TH_SCREENSHOT_DIR) + "/thadmin_" + page + ".png"));
  }
};

TEST(AdminWindow, EditARuleAndSaveWhatTheGatewayReads) {
  WindowFixture f;
  EXPECT_EQ(f.window->windowTitle().toStdString(), text::kWindowTitle);
  EXPECT_EQ(f.window->ShownPage(), PageId::Front);
  EXPECT_EQ(f.window->Tree()->topLevelItemCount(), 10);

  f.Select("Rule 0 - first");
  ASSERT_EQ(f.window->ShownPage(), PageId::Range);
  QAbstractButton* lookup =
      f.Button("Perform a dynamic list lookup in file containing a list of addresses");
  f.Click(lookup);
  EXPECT_EQ(f.boxes.LastText(), text::kLookupRefused);
  EXPECT_FALSE(lookup->isChecked());
  QLineEdit* comment = f.Edit("Comment");
  comment->selectAll();
  QTest::keyClicks(comment, "Hold mail");
  EXPECT_EQ(f.window->Session().Config().rules[0].Comment, "Hold mail");

  f.Select("Rule 0 - first", "Tasks");
  ASSERT_EQ(f.window->ShownPage(), PageId::Processing);
  f.Click(f.Button("Add html text if message in sent in HTML"));
  f.Select("Rule 0 - first", "Final Action");
  f.Click(f.Button("Move the message to quarantine area"));
  f.Click(f.Button("Delete the message"));
  EXPECT_FALSE(f.Button("Move the message to quarantine area")->isChecked());

  f.Select("Routing Domains");
  QTest::keyClicks(f.Edit("LocalDomainEdit"), "Corp.Test");
  f.Click(f.Push("Add"));
  ASSERT_EQ(f.Shown()->findChild<QListWidget*>("LocalDomainList")->count(), 2);
  f.Click(f.Button("send mail directly using MX resolution, use list in order"));
  EXPECT_FALSE(f.Shown()->findChild<QSpinBox*>("OutboundPort")->isEnabled());

  f.Select("SPAM Protection");
  QTest::keyClicks(f.Edit("FriendsEdit"), "Pal@Example.test");
  f.Click(f.Push("Add"));
  EXPECT_EQ(TempRoot::Read(f.root / "spamfree.dat"), "pal@example.test\n");

  f.Click(f.Push("New"));
  EXPECT_NE(f.window->Item("Rule 1 - (new rule - enter own description)"), nullptr);
  f.boxes.Clear();
  f.Click(f.Push("OK"));
  EXPECT_EQ(f.boxes.LastText(), text::kRestart);
  EXPECT_EQ(f.window->result(), QDialog::Accepted);

  CGatewayConfig read(f.root.Path());
  (void)read.Load();
  ASSERT_EQ(read.rules.size(), 2u);
  EXPECT_EQ(read.rules[0].Comment, "Hold mail");
  EXPECT_EQ(read.rules[0].AddHTMLDisclaimer, 1);
  EXPECT_EQ(read.rules[0].Action, kActionDelete);
  EXPECT_EQ(read.rules[0].AllFromTo, 0);
  EXPECT_EQ(read.local_domains, (std::vector<std::string>{"demo.test", "corp.test"}));
  EXPECT_EQ(read.OutboundGatewayType, 1);
}

TEST(AdminWindow, AdultKeywordsShowOnlyAfterTheConsent) {
  WindowFixture f;
  f.Select("General Settings");
  QLineEdit* keywords = f.Edit("AdultKeywords");
  f.boxes.QueueAnswer(BoxAnswer::Cancel);
  f.Click(f.Push("Edit"));
  EXPECT_EQ(f.boxes.LastText(), text::kConsent);
  EXPECT_FALSE(keywords->isVisible());
  f.Click(f.Push("Edit"));
  EXPECT_TRUE(keywords->isVisible());
  QTest::keyClicks(keywords, "badword");
  EXPECT_EQ(f.window->Session().Config().AdultKeywords, "badword");
}

TEST(AdminWindow, OkStaysOpenOnAFailedCheckAndCancelWritesNothing) {
  WindowFixture f;
  f.Select("Routing Domains");
  QTest::keyClicks(f.Edit("LocalDomainEdit"), "forgotten.test");
  f.Click(f.Push("OK"));
  EXPECT_EQ(f.boxes.LastText(), text::kRoutingBoxNotAdded);
  EXPECT_TRUE(f.window->isVisible());
  f.Click(f.Push("Cancel"));
  EXPECT_EQ(f.window->result(), QDialog::Rejected);
  EXPECT_EQ(TempRoot::Read(f.root / "tarnhold.dat"), kConfig);
}

// The README's tour: a rule made in the window, saved, acts in the gateway's dry run.
TEST(AdminWindow, ARuleMadeInTheWindowActsInTheGateway) {
  WindowFixture f;
  f.Click(f.Push("New"));
  f.Select("Rule 1 - (new rule - enter own description)");
  f.Click(f.Button("Enable this rule for messages:"));
  f.Click(f.Button("Incoming"));
  // The description must not hold the rule's own keyword: the save would refuse it.
  f.Edit("Comment")->selectAll();
  QTest::keyClicks(f.Edit("Comment"), "Hold gambling offers");
  // The tree item keeps its text until the tree is next rebuilt.
  f.Select("Rule 1 - (new rule - enter own description)", "Content Security");
  ASSERT_EQ(f.window->ShownPage(), PageId::Content);
  QTest::keyClicks(f.Edit("BlockKeywords"), "casino");
  f.Click(f.Button("subject"));
  f.Select("Rule 1 - (new rule - enter own description)", "Final Action");
  f.Click(f.Button("Move the message to quarantine area"));
  f.Shown()->findChild<QComboBox*>("QuarantineArea")->setCurrentText("junk");
  f.Click(f.Push("OK"));
  ASSERT_EQ(f.boxes.LastText(), text::kRestart);

  f.root.Write("m.eml",
               "From: a@example.com\r\nTo: user@demo.test\r\nSubject: Casino offers\r\n\r\nhi\r\n");
  QProcess gate;
  gate.start(QString(TH_BIN_DIR) + "/thgate",
             {"--root", QString::fromStdString(f.root.Path().string()), "--test-rules", "--raw",
              QString::fromStdString((f.root / "m.eml").string()), "--from", "a@example.com",
              "--to", "user@demo.test", "--ip", "192.0.2.1"});
  ASSERT_TRUE(gate.waitForFinished(60000));
  QByteArray out = gate.readAllStandardOutput();
  EXPECT_TRUE(out.contains("decision: rule=1 action=1 destination=quaran/junk"))
      << out.toStdString();
}

TEST(AdminWindow, ScreenshotOfEveryPage) {
  WindowFixture f;
  f.Screenshot("front");
  const std::pair<QString, std::string> settings[] = {{"General Settings", "general"},
                                                      {"Routing Domains", "routing"},
                                                      {"Load Distribution", "clustering"},
                                                      {"POP3 Download", "pop3"},
                                                      {"Local POP3 Users", "pop3users"},
                                                      {"Interactive Virus Scan", "virus"},
                                                      {"SPAM Protection", "spam"},
                                                      {"Dialling", "dialling"},
                                                      {"Logs", "logs"}};
  for (const auto& [item, name] : settings) {
    f.Select(item);
    f.Screenshot(name);
  }
  f.Select("Rule 0 - first");
  f.Screenshot("rule");
  const std::pair<QString, std::string> children[] = {{"Content Security", "content"},
                                                      {"Attachment Restrictions", "attachments"},
                                                      {"Transmission Security", "transmission"},
                                                      {"Tasks", "tasks"},
                                                      {"Final Action", "final_action"}};
  for (const auto& [child, name] : children) {
    f.Select("Rule 0 - first", child);
    f.Screenshot(name);
  }
  EXPECT_TRUE(QFile::exists(QString(TH_SCREENSHOT_DIR) + "/thadmin_final_action.png"));
}

}  // namespace
}  // namespace tarnhold

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
