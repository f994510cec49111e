// The settings pages of single values and lists, and the front page.
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "admin/settings_pages.h"
#include "apps/thadmin/pages.h"

namespace tarnhold {
namespace {

using C = CGatewayConfig;

// An edit box with "Add", a list and "Remove" on one line.
struct EditableList {
  QLineEdit* edit;
  QListWidget* list;
  QPushButton* add;
  QPushButton* remove;
};
EditableList AddEditableList(PageForm& f, const QString& title, const char* name,
                             QBoxLayout* into) {
  QGroupBox* group = f.AddGroup(title, into);
  QBoxLayout* col = GroupColumn(group);
  auto* row = new QHBoxLayout;
  col->addLayout(row);
  EditableList l{new QLineEdit(&f), new QListWidget(&f), nullptr, nullptr};
  l.edit->setObjectName(QString(name) + "Edit");
  l.edit->setMaxLength(static_cast<int>(kMaxConfigValueLength));
  l.list->setObjectName(QString(name) + "List");
  l.list->setMaximumHeight(110);
  row->addWidget(l.edit, 1);
  l.add = new QPushButton("Add", &f);
  row->addWidget(l.add);
  auto* row2 = new QHBoxLayout;
  col->addLayout(row2);
  row2->addWidget(l.list, 1);
  l.remove = new QPushButton("Remove", &f);
  row2->addWidget(l.remove, 0, Qt::AlignTop);
  return l;
}

void FileBox(PageForm& f, const QString& label, std::string C::*field, const char* key,
             QBoxLayout* into) {
  auto* row = new QHBoxLayout;
  (into ? into : f.Column())->addLayout(row);
  QLineEdit* edit = f.DefaultsEdit(label, field, key, row);
  AddListFileRow(f, edit, true, row);
}

PageForm* BuildFront(AdminSession& s) {
  auto* f = new PageForm(s, "Welcome to the Tarnhold Administrator");
  f->AddNote(
      "Choose a settings section or a rule in the tree on the left.  Rules are checked in the "
      "order of the tree: use New, Delete, Up and Down to arrange them.\n\nNothing is written "
      "until you press OK; the gateway reads the new settings when it is restarted or reloaded.");
  f->Column()->addStretch();
  return f;
}

PageForm* BuildGeneral(AdminSession& s) {
  auto* f = new PageForm(s, "General Settings");
  f->DefaultsEdit("Network administrator's  e-mail address", &C::AdminEmail, "AdminEmail");
  auto* row = new QHBoxLayout;
  f->Column()->addLayout(row);
  f->AddNote(
      "The presence of certain keywords in a message strongly indicates that it contains "
      "illicit/adult/offensive content",
      row);
  QPushButton* edit_button = f->AddButton("Edit", row, [] {});
  QLineEdit* keywords = f->DefaultsEdit("", &C::AdultKeywords, "AdultKeywords");
  QLabel* note = f->AddNote(
      "Note: Tarnhold scans for any presence of the search keyword in the words or phrases of the "
      "message subject,body and attachments.");
  keywords->setVisible(false);
  note->setVisible(false);
  QObject::connect(edit_button, &QPushButton::clicked, f, [f, keywords, note] {
    if (!AcceptAdultKeywordConsent(f->session_)) return;
    keywords->setVisible(true);
    note->setVisible(true);
  });
  QGroupBox* peak = f->AddGroup("The off-peak hours are");
  QBoxLayout* col = GroupColumn(peak);
  auto* from = new QHBoxLayout;
  col->addLayout(from);
  f->DefaultsNumber("From", &C::OffPeakFromHH, "OffPeakFromHH", from, 23);
  f->DefaultsNumber("hrs", &C::OffPeakFromMM, "OffPeakFromMM", from, 59);
  from->addWidget(new QLabel("min (before midnight)", f));
  auto* to = new QHBoxLayout;
  col->addLayout(to);
  f->DefaultsNumber("To", &C::OffPeakToHH, "OffPeakToHH", to, 23);
  f->DefaultsNumber("hrs", &C::OffPeakToMM, "OffPeakToMM", to, 59);
  to->addWidget(new QLabel("min (the next day)", f));
  f->Column()->addStretch();
  return f;
}

PageForm* BuildRouting(AdminSession& s) {
  auto* f = new PageForm(s, "Routing Domains");
  EditableList domains = AddEditableList(*f, "Local domains", "LocalDomain", f->Column());
  QObject::connect(domains.add, &QPushButton::clicked, f, [f, domains] {
    if (AddLocalDomain(f->session_, Text(domains.edit->text())) == Handled::Done)
      domains.edit->clear();
    f->Refill();
    domains.edit->setFocus();
  });
  QObject::connect(domains.remove, &QPushButton::clicked, f, [f, domains] {
    (void)RemoveLocalDomain(f->session_, SelectedText(domains.list));
    f->Refill();
  });
  f->OnRefill([f, domains] { ShowList(domains.list, f->session_.Config().local_domains); });
  f->AddNote(
      "If the recipient's domain is found in the local domain list, the message is treated as "
      "inbound, otherwise outbound");
  auto* ports = new QHBoxLayout;
  f->Column()->addLayout(ports);
  f->DefaultsPort("Tarnhold SMTP listening port", &C::SMTPInPort, "SMTPInPort", ports);
  f->DefaultsNumber("Max incoming connections", &C::SMTPMaxIn, "SMTPMaxIn", ports);
  QGroupBox* inbound =
      f->AddGroup("Inbound delivery (to local Exchange,Lotus or any SMTP-compatible local server)");
  auto* in_row = new QHBoxLayout;
  GroupColumn(inbound)->addLayout(in_row);
  QLineEdit* in_host = f->DefaultsEdit("inbound gateway IP", &C::InboundGatewayAddress,
                                       "InboundGatewayAddress", in_row);
  QSpinBox* in_port = f->DefaultsPort("Port", &C::InboundPort, "InboundPort", in_row);
  QCheckBox* pop3 = f->NewCheck(
      "Enable POP3 server for local users (use Tarnhold as local mail server, on a stand-alone "
      "desktop or notebook)",
      GroupColumn(inbound));
  QObject::connect(pop3, &QCheckBox::toggled, f, [f](bool on) {
    if (f->Refilling()) return;
    (void)SetEnablePop3Server(f->session_, on);
    if (f->refill_all) f->refill_all();
  });
  QGroupBox* outbound = f->AddGroup("Outbound delivery");
  auto* out_row = new QHBoxLayout;
  GroupColumn(outbound)->addLayout(out_row);
  QLineEdit* out_host = f->DefaultsEdit("outbound SMTP Host", &C::OutboundGatewayAddress,
                                        "OutboundGatewayAddress", out_row);
  QSpinBox* out_port = f->DefaultsPort("Port", &C::OutboundPort, "OutboundPort", out_row);
  auto* mx_row = new QHBoxLayout;
  GroupColumn(outbound)->addLayout(mx_row);
  QCheckBox* mx = f->NewCheck("send mail directly using MX resolution, use list in order", mx_row);
  QObject::connect(mx, &QCheckBox::toggled, f, [f](bool on) {
    if (f->Refilling()) return;
    (void)SetDefaultsNumber(f->session_, &C::OutboundGatewayType, on ? 1 : 0);
    f->Refill();
  });
  FileBox(*f, "", &C::DNSLookupFileName, "DNSLookupFileName", mx_row);
  FileBox(*f, "optional SMTP routing lookup", &C::SMTPRoutingFileName, "SMTPRoutingFileName",
          GroupColumn(outbound));
  QGroupBox* general = f->AddGroup("General delivery options");
  auto* g_row = new QHBoxLayout;
  GroupColumn(general)->addLayout(g_row);
  f->DefaultsNumber("Max delivery connections", &C::SMTPMaxOut, "SMTPMaxOut", g_row);
  f->DefaultsNumber("Max Retries when using MX", &C::SMTPMaxRetries, "SMTPMaxRetries", g_row);
  auto* r_row = new QHBoxLayout;
  GroupColumn(general)->addLayout(r_row);
  f->DefaultsNumber("MX Retry interval", &C::SMTPRetryInterval, "SMTPRetryInterval", r_row);
  r_row->addWidget(new QLabel("seconds", f));
  r_row->addStretch();
  f->OnRefill([f, pop3, mx, in_host, in_port, out_host, out_port] {
    SettingsView view = RefillSettingsPages(f->session_);
    QSignalBlocker a(pop3), b(mx);
    pop3->setChecked(f->session_.Config().EnablePOP3Server == 1);
    mx->setChecked(f->session_.Config().OutboundGatewayType == 1);
    in_host->setEnabled(view.inbound_gateway_enabled);
    in_port->setEnabled(view.inbound_gateway_enabled);
    out_host->setEnabled(view.outbound_host_enabled);
    out_port->setEnabled(view.outbound_host_enabled);
  });
  return f;
}

PageForm* BuildClustering(AdminSession& s) {
  auto* f = new PageForm(s, "Load Distribution");
  f->DefaultsCheck("Distrubute messages for processing/routing to other Tarnhold hosts",
                   &C::EnableClustering);
  FileBox(*f, "", &C::ClusterFileName, "ClusterFileName", nullptr);
  f->AddNote("use UNC or mapped network tarnhold shares");
  f->Column()->addStretch();
  return f;
}

PageForm* BuildSpam(AdminSession& s) {
  auto* f = new PageForm(s, "SPAM Protection");
  for (auto [title, name, list] :
       {std::tuple{"Friends list", "Friends", SpamList::Friends},
        std::tuple{"Accept redirections", "Redirections", SpamList::Redirections}}) {
    EditableList l = AddEditableList(*f, title, name, f->Column());
    l.list->setSortingEnabled(false);
    QObject::connect(l.add, &QPushButton::clicked, f, [f, l, list = list] {
      if (AddSpamEntry(f->session_, list, Text(l.edit->text())) == Handled::Done) l.edit->clear();
      f->Refill();
    });
    QObject::connect(l.remove, &QPushButton::clicked, f, [f, l, list = list] {
      (void)RemoveSpamEntry(f->session_, list, SelectedText(l.list));
      f->Refill();
    });
    f->OnRefill([f, l, list = list] {
      ShowList(l.list,
               list == SpamList::Friends ? f->session_.Friends() : f->session_.Redirections());
    });
  }
  f->DefaultsEdit("When replying to messages identified as SPAM, use the following email address",
                  &C::SpamReplyEmail, "SpamReplyEmail");
  return f;
}

PageForm* BuildRas(AdminSession& s) {
  auto* f = new PageForm(s, "Dialling");
  f->DefaultsCheck("automatically dial up remote network to send and recieve mail", &C::EnableRas);
  auto combo = [&](const QString& label, std::string C::*field, const char* key,
                   const std::vector<std::string>& entries) {
    auto* c = new QComboBox(f);
    c->setObjectName(key);
    for (const std::string& e : entries) c->addItem(Q(e));
    QBoxLayout* row = f->Row(label, c);
    QObject::connect(c, &QComboBox::activated, f, [f, c, field](int) {
      f->After(SetDefaultsText(f->session_, field, Text(c->currentText())));
    });
    f->OnRefill([f, c, field] {
      QSignalBlocker block(c);
      c->setCurrentIndex(c->findText(Q(f->session_.Config().*field)));
    });
    return std::pair{c, row};
  };
  combo("Connection name", &C::DialEntry, "DialEntry", s.DialEntries());
  auto [modem, modem_row] = combo("Use modem", &C::DialModem, "DialModem", s.Modems());
  // Hidden, as it always was: pppd takes the device from the peers file.
  for (int i = 0; i < modem_row->count(); ++i)
    if (QWidget* w = modem_row->itemAt(i)->widget()) w->setVisible(false);
  auto* creds = new QHBoxLayout;
  f->Column()->addLayout(creds);
  f->DefaultsEdit("User name", &C::DialUserName, "DialUserName", creds);
  f->DefaultsEdit("Password", &C::DialPassword, "DialPassword", creds)
      ->setEchoMode(QLineEdit::Password);
  EditableList times =
      AddEditableList(*f, "Regular dial times (use HH:MM format)", "DialTime", f->Column());
  QObject::connect(times.add, &QPushButton::clicked, f, [f, times] {
    if (AddDialTime(f->session_, Text(times.edit->text())) == Handled::Done) times.edit->clear();
    f->Refill();
  });
  QObject::connect(times.remove, &QPushButton::clicked, f, [f, times] {
    (void)RemoveDialTime(f->session_, SelectedText(times.list));
    f->Refill();
  });
  f->OnRefill([f, times] { ShowList(times.list, f->session_.Config().dial_times); });
  QGroupBox* days = f->AddGroup("Dial on the following days:");
  auto* day_row = new QHBoxLayout;
  GroupColumn(days)->addLayout(day_row);
  for (auto [text, field] : {std::pair{"Monday", &C::DialMON}, std::pair{"Tuesday", &C::DialTUE},
                             std::pair{"Wednesday", &C::DialWED},
                             std::pair{"Thursday", &C::DialTHU}, std::pair{"Friday", &C::DialFRI},
                             std::pair{"Saturday", &C::DialSAT}, std::pair{"Sunday", &C::DialSUN}})
    f->DefaultsCheck(text, field, day_row);
  f->DefaultsCheck("Always dial as soon as there is a message to send", &C::DialASAP);
  return f;
}

PageForm* BuildLogs(AdminSession& s) {
  auto* f = new PageForm(s, "Logs");
  QGroupBox* group = f->AddGroup("Log the following services");
  f->DefaultsCheck("POP3 Download", &C::LogPOP3, GroupColumn(group));
  f->DefaultsCheck("SMTP Server", &C::LogSMTPIn, GroupColumn(group));
  f->DefaultsCheck("Content Sweeper", &C::LogSweeper, GroupColumn(group));
  f->DefaultsCheck("SMTP Delivery", &C::LogSMTPOut, GroupColumn(group));
  f->DefaultsCheck("Log bandwidth usage", &C::LogBandwidth);
  auto* row = new QHBoxLayout;
  f->Column()->addLayout(row);
  f->AddButton("View Logs", row, [f] { (void)ViewLogsFolder(f->session_); });
  row->addStretch();
  f->Column()->addStretch();
  return f;
}

}  // namespace

void AddListFileRow(PageForm& form, QLineEdit* edit, bool with_edit_button, QBoxLayout* row) {
  PageForm* f = &form;
  f->AddButton("Browse", row, [f, edit] {
    QString chosen =
        QFileDialog::getOpenFileName(f, "Browse", Q(f->session_.Layout().Lists().string()));
    if (chosen.isEmpty()) return;
    edit->setText(chosen);
    emit edit->textEdited(chosen);
    f->Refill();
  });
  if (with_edit_button)
    f->AddButton("Edit", row, [f, edit] { (void)EditListFile(f->session_, Text(edit->text())); });
}

PageForm* BuildSettingsPage(PageId page, AdminSession& session) {
  switch (page) {
    case PageId::Front:
      return BuildFront(session);
    case PageId::General:
      return BuildGeneral(session);
    case PageId::Routing:
      return BuildRouting(session);
    case PageId::Clustering:
      return BuildClustering(session);
    case PageId::Spam:
      return BuildSpam(session);
    case PageId::Ras:
      return BuildRas(session);
    case PageId::Logs:
      return BuildLogs(session);
    default:
      return nullptr;
  }
}

PageForm* BuildPage(PageId page, AdminSession& session) {
  if (PageForm* settings = BuildSettingsPage(page, session)) return settings;
  if (PageForm* records = BuildRecordPage(page, session)) return records;
  return BuildRulePage(page, session);
}

}  // namespace tarnhold
