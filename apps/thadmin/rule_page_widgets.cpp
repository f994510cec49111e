// The six rule pages: the rule item's own page and its five children.
#include <QButtonGroup>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "admin/rule_pages.h"
#include "admin/settings_pages.h"
#include "apps/thadmin/pages.h"

namespace tarnhold {
namespace {

using R = CRuleRecord;

// A check box and the edit box that goes with it on one line.
QBoxLayout* CheckedEdit(PageForm& f, const QString& text, int R::*flag, std::string R::*value,
                        const char* key, QBoxLayout* into = nullptr) {
  auto* row = new QHBoxLayout;
  (into ? into : f.Column())->addLayout(row);
  f.RuleCheck(text, flag, row);
  f.RuleEdit("", value, key, row);
  return row;
}

// An edit box that names a list file, with its "Browse".
void FileEdit(PageForm& f, const QString& label, std::string R::*field, const char* key) {
  auto* row = new QHBoxLayout;
  f.Column()->addLayout(row);
  QLineEdit* edit = f.RuleEdit(label, field, key, row);
  AddListFileRow(f, edit, false, row);
}

// A check box and a number in kilobytes (or another unit) on one line.
void CheckedNumber(PageForm& f, const QString& text, int R::*flag, int R::*number, const char* key,
                   const QString& unit, QBoxLayout* into) {
  auto* row = new QHBoxLayout;
  into->addLayout(row);
  f.RuleCheck(text, flag, row);
  f.RuleNumber(number, key, row);
  row->addWidget(new QLabel(unit, &f));
  row->addStretch();
}

// One of the four text combos of the Tasks page: the files of text/, the selection stored.
void TextFileRow(PageForm& f, const QString& text, int R::*flag, std::string R::*file,
                 const char* key) {
  auto* row = new QHBoxLayout;
  f.Column()->addLayout(row);
  f.RuleCheck(text, flag, row);
  auto* combo = new QComboBox(&f);
  combo->setObjectName(key);
  combo->setMinimumWidth(160);
  row->addWidget(combo);
  QObject::connect(combo, &QComboBox::activated, &f, [&f, combo, file](int) {
    (void)SetRuleText(f.session_, file, Text(combo->currentText()));
  });
  f.AddButton("Edit", row,
              [&f, combo] { (void)EditTextFile(f.session_, Text(combo->currentText())); });
  f.OnRefill([&f, combo, file] {
    QSignalBlocker block(combo);
    combo->clear();
    for (const std::string& name : ListTextFiles(f.session_.Layout())) combo->addItem(Q(name));
    if (const CRuleRecord* rule = f.session_.Rule())
      combo->setCurrentIndex(combo->findText(Q(rule->*file)));
  });
}

PageForm* BuildRange(AdminSession& s) {
  auto* f = new PageForm(s, "");
  f->RuleCheck("Enable this rule for messages:", &R::Enabled);
  f->RuleCheck("Incoming", &R::AllIncoming);
  f->RuleCheck("Outgoing", &R::AllOutgoing);
  f->RuleCheck("Perform a dynamic list lookup in file containing a list of addresses",
               &R::AllFromTo);
  FileEdit(*f, "if sender is matched in list", &R::From, "From");
  FileEdit(*f, "if recipient is matched in list", &R::To, "To");
  QBoxLayout* sender = CheckedEdit(*f, "use sender exception list", &R::EnableSenderExceptionList,
                                   &R::SenderExceptionList, "SenderExceptionList");
  AddListFileRow(*f, f->findChild<QLineEdit*>("SenderExceptionList"), false, sender);
  QBoxLayout* recipient =
      CheckedEdit(*f, "use recipient exception list", &R::EnableRecipientExceptionList,
                  &R::RecipientExceptionList, "RecipientExceptionList");
  AddListFileRow(*f, f->findChild<QLineEdit*>("RecipientExceptionList"), false, recipient);
  f->RuleEdit("General description of this rule", &R::Comment, "Comment");
  f->RuleCheck(
      "After this rule has been verified, do not check any more rules, regardless whether any of "
      "the checks failed or not (TEAR RULE)",
      &R::Tear);
  auto* row = new QHBoxLayout;
  f->Column()->addLayout(row);
  f->AddButton("View Lists", row, [f] { (void)ViewListsFolder(f->session_); });
  row->addStretch();
  return f;
}

PageForm* BuildContent(AdminSession& s) {
  auto* f = new PageForm(s, "Content Security criteria are not met when the inspected message ...");
  f->RuleCheck("... carries a virus on one of the file attachments - INTERACTIVE detection",
               &R::VirusScan);
  f->RuleCheck("... carries a virus on one of the file attachments - PASSIVE detection",
               &R::PassiveVirusScan);
  f->RuleCheck("... contains password protected (encrypted) ZIP file attachments",
               &R::BlockPasswordZIPs);
  f->RuleCheck("... appears to be a junk e-mail (SPAM), as defined in Spam Protection",
               &R::StopSPAM);
  f->RuleCheck("... contains foul language or offensive content", &R::BlockAdult);
  f->RuleEdit("... contains any of these keywords (separate with a comma)", &R::BlockKeywords,
              "BlockKeywords");
  CheckedEdit(*f, "... contains this text as a Content-Type MIME descriptor for any attachment",
              &R::BlockMIMEContentType, &R::MIMEContentTypeKeyword, "MIMEContentTypeKeyword");
  QGroupBox* lexical = f->AddGroup("lexical analysis");
  QBoxLayout* col = GroupColumn(lexical);
  col->addWidget(new QLabel("scan the following message parts:", f));
  auto* parts = new QHBoxLayout;
  col->addLayout(parts);
  f->RuleCheck("subject", &R::ScanSubject, parts);
  f->RuleCheck("body", &R::ScanBody, parts);
  f->RuleCheck("attachments", &R::ScanAttachments, parts);
  return f;
}

PageForm* BuildSize(AdminSession& s) {
  auto* f = new PageForm(s, "A message will fail to meet the bandwidth criteria if ...");
  f->RuleCheck("... it contains any attachments", &R::BlockAllAttachments);
  f->RuleEdit("... it contain files of these types, regardless of how big they are",
              &R::BlockFileTypes, "BlockFileTypes");
  QGroupBox* group =
      f->AddGroup("File-specific restrictions (do not list file types already listed above)");
  QBoxLayout* col = GroupColumn(group);
  f->RuleEdit("if it contains files of these types", &R::SizeLimitExtList, "SizeLimitExtList", col);
  CheckedNumber(*f, "if the above files are in a ZIP archive, and the message is bigger than",
                &R::EnableMaxSizeExtListCompressed, &R::MaxSizeExtListCompressed,
                "MaxSizeExtListCompressed", "KB", col);
  CheckedNumber(*f, "if the above files are not in a ZIP archive, and the message is bigger than",
                &R::EnableMaxSizeExtList, &R::MaxSizeExtList, "MaxSizeExtList", "KB", col);
  CheckedNumber(*f, "if the message, regardless of compression and file types, is bigger than",
                &R::EnableMaxSizeAnyTotal, &R::MaxSizeAnyTotal, "MaxSizeAnyTotal", "KB",
                f->Column());
  CheckedNumber(*f, "if the length of the attachment filename is greater than",
                &R::EnableCheckAnyFileNameLength, &R::MaxAnyFileNameLength, "MaxAnyFileNameLength",
                "characters", f->Column());
  f->AddNote("Separate file type entries with a comma, for example exe,com,bat,scr");
  return f;
}

PageForm* BuildTransmission(AdminSession& s) {
  auto* f =
      new PageForm(s, "Transmission Security criteria are not met when the inspected message ...");
  QBoxLayout* in = CheckedEdit(*f, "... has been received from IP address in list",
                               &R::BlockIPInList, &R::IPInList, "IPInList");
  AddListFileRow(*f, f->findChild<QLineEdit*>("IPInList"), false, in);
  QBoxLayout* out = CheckedEdit(*f, "... has been received from  IP address NOT in list",
                                &R::BlockIPNotInList, &R::IPNotInList, "IPNotInList");
  AddListFileRow(*f, f->findChild<QLineEdit*>("IPNotInList"), false, out);
  f->AddNote(
      "when the above option is enabled, the list must include Tarnhold's own IP addres such as "
      "127.0.0.1");
  return f;
}

PageForm* BuildProcessing(AdminSession& s) {
  auto* f = new PageForm(s, "Execute these directives and proceed to the Final Action preferences");
  auto* only = new QRadioButton(
      "only when the message does not satisfy Content Security or Attachment Restrictions criteria",
      f);
  auto* always = new QRadioButton("always", f);
  f->Column()->addWidget(only);
  f->Column()->addWidget(always);
  QObject::connect(always, &QRadioButton::toggled, f, [f](bool on) {
    if (!f->Refilling()) (void)SetRuleNumber(f->session_, &R::BlockEverything, on ? 1 : 0);
  });
  f->OnRefill([f, only, always] {
    if (const CRuleRecord* rule = f->session_.Rule()) {
      QSignalBlocker a(only), b(always);
      (rule->BlockEverything == 1 ? always : only)->setChecked(true);
    }
  });
  f->RuleCheck("Alert the administrator", &R::NotifyAdminOnAction);
  QBoxLayout* archive = CheckedEdit(*f, "Store a copy of the message in archive", &R::Archive,
                                    &R::ArchivePath, "ArchivePath");
  f->AddButton("...", archive, [f] {
    CRuleRecord* rule = f->session_.Rule();
    if (!rule) return;
    QString start = Q(f->session_.Config().MapPath(rule->ArchivePath).string());
    QString folder = QFileDialog::getExistingDirectory(f, "Select archive folder", start);
    if (folder.isEmpty()) return;
    f->After(SetRuleText(f->session_, &R::ArchivePath, Text(folder)));
    f->Refill();
  });
  CheckedEdit(*f, "Forward a copy of the message to", &R::EnableForwardCopyTo, &R::ForwardCopyTo,
              "ForwardCopyTo");
  TextFileRow(*f, "Send a reply to the sender with the message body taken from file",
              &R::ReplyOnAction, &R::ReplyFile, "ReplyFile");
  TextFileRow(*f, "Send a notification to the recipient with the message body taken from file",
              &R::NotifyRecipientOnAction, &R::NotifyRecipientFile, "NotifyRecipientFile");
  TextFileRow(*f, "Add plain text if message is sent in plain text", &R::AddTextDisclaimer,
              &R::TextDisclaimerFile, "TextDisclaimerFile");
  TextFileRow(*f, "Add html text if message in sent in HTML", &R::AddHTMLDisclaimer,
              &R::HTMLDisclaimerFile, "HTMLDisclaimerFile");
  return f;
}

PageForm* BuildActions(AdminSession& s) {
  auto* f =
      new PageForm(s,
                   "Final action, invoked from the Tasks section.  If no action is triggered, "
                   "the message will be passed onto next rule and eventually released for "
                   "delivery after the last rule");
  auto* group = new QButtonGroup(f);
  auto radio = [&](int action, const QString& text, QBoxLayout* into) {
    auto* button = new QRadioButton(text, f);
    button->setObjectName(QString("Action%1").arg(action));
    group->addButton(button, action);
    auto* row = new QHBoxLayout;
    row->addWidget(button);
    into->addLayout(row);
    return row;
  };
  radio(0,
        "Continue checking further rules and let send the message through if all other criteria "
        "are satisfied",
        f->Column());
  QBoxLayout* quarantine = radio(1, "Move the message to quarantine area", f->Column());
  auto* areas = new QComboBox(f);
  areas->setObjectName("QuarantineArea");
  areas->setEditable(true);
  areas->setMinimumWidth(140);
  quarantine->addWidget(areas);
  f->AddButton("New", quarantine, [f, areas] {
    f->After(NewQuarantineArea(f->session_, Text(areas->currentText())));
    f->Refill();
  });
  f->AddButton("Delete", quarantine, [f, areas] {
    f->After(DeleteQuarantineArea(f->session_, Text(areas->currentText())));
    f->Refill();
  });
  QObject::connect(areas, &QComboBox::currentTextChanged, f, [f](const QString& text) {
    if (!f->Refilling()) f->After(SetRuleText(f->session_, &R::QuarantineArea, Text(text)));
  });
  radio(2, "Delete the message", f->Column());
  radio(3, "If no other checks fail, delay delivery until off-peak time, then allow it through",
        f->Column());
  QGroupBox* eraze = f->AddGroup("ERAZE actions");
  QBoxLayout* col = GroupColumn(eraze);
  f->AddNote(
      "ERAZE actions rebuild the entire message and re-submit it through Tarnhold rule system",
      col);
  radio(4, "Remove ONLY these file attachments if present", col);
  radio(5, "Remove ALL BUT these file attachments if present", col);
  radio(6, "Remove ALL file attachments", col);
  radio(7, "Do NOT remove any file attachments (just remove HTML content)", col);
  QBoxLayout* compress =
      radio(8, "Encode all attachments into a ZIP archive if new size would be <", col);
  f->RuleNumber(&R::CompressionTreshold, "CompressionTreshold", compress, 100);
  compress->addWidget(new QLabel("%", f));
  compress->addStretch();
  radio(9, "Decode a ZIP archive into separate attachment(s)", col);
  f->RuleEdit("List file attachments to test for", &R::RemoveFileTypes, "RemoveFileTypes");
  f->AddNote("separate entries with a comma, for example exe,com,bat,scr");
  QObject::connect(group, &QButtonGroup::idToggled, f, [f](int id, bool on) {
    if (on && !f->Refilling()) (void)SetRuleAction(f->session_, id);
  });
  f->OnRefill([f, group, areas] {
    const CRuleRecord* rule = f->session_.Rule();
    if (!rule) return;
    QAbstractButton* button = group->button(rule->Action);
    (button ? button : group->button(0))->setChecked(true);
    QSignalBlocker block(areas);
    areas->clear();
    for (const std::string& area : ListQuarantineAreas(f->session_.Layout()))
      areas->addItem(Q(area));
    areas->setCurrentText(Q(rule->QuarantineArea));
  });
  return f;
}

}  // namespace

PageForm* BuildRulePage(PageId page, AdminSession& session) {
  switch (page) {
    case PageId::Range:
      return BuildRange(session);
    case PageId::Content:
      return BuildContent(session);
    case PageId::Size:
      return BuildSize(session);
    case PageId::Transmission:
      return BuildTransmission(session);
    case PageId::Processing:
      return BuildProcessing(session);
    case PageId::Actions:
      return BuildActions(session);
    default:
      return nullptr;
  }
}

}  // namespace tarnhold
