// The nine settings pages and the front page.
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

QBoxLayout* GroupColumn(QGroupBox* group) { return static_cast<QBoxLayout*>(group->layout()); }

// The selected row of a list, or -1.
int Selected(const QListWidget* list) { return list->currentRow(); }
std::string SelectedText(const QListWidget* list) {
  return list->currentItem() ? Text(list->currentItem()->text()) : std::string();
}

// An edit box with "Add", a list and "Remove" on one line.
struct EditableList {
  QLineEdit* edit;
  QListWidget* list;
  QPushButton* add;
  QPushButton* remove;
};
EditableList AddEditableList(PageForm& f, const QString& title, const char* name, QBoxLayout* into) {
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

void FileBox(PageForm& f, const QString& label, std::string C::*field, const char* key, QBoxLayout* into) {
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
  f->AddNote("The presence of certain keywords in a message strongly indicates that it contains illicit/adult/offensive content", row);
  QPushButton* edit_button = f->AddButton("Edit", row, [] {});
  QLineEdit* keywords = f->DefaultsEdit("", &C::AdultKeywords, "AdultKeywords");
  QLabel* note = f->AddNote("Note: Tarnhold scans for any presence of the search keyword in the words or phrases of the message subject,body and attachments.");
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
    if (AddLocalDomain(f->session_, Text(domains.edit->text())) == Handled::Done) domains.edit->clear();
    f->Refill();
    domains.edit->setFocus();
  });
  QObject::connect(domains.remove, &QPushButton::clicked, f, [f, domains] {
    (void)RemoveLocalDomain(f->session_, SelectedText(domains.list));
    f->Refill();
  });
  f->OnRefill([f, domains] { ShowList(domains.list, f->session_.Config().local_domains); });
  f->AddNote("If the recipient's domain is found in the local domain list, the message is treated as inbound, otherwise outbound");
  auto* ports = new QHBoxLayout;
  f->Column()->addLayout(ports);
  f->DefaultsPort("Tarnhold SMTP listening port", &C::SMTPInPort, "SMTPInPort", ports);
  f->DefaultsNumber("Max incoming connections", &C::SMTPMaxIn, "SMTPMaxIn", ports);
  QGroupBox* inbound = f->AddGroup("Inbound delivery (to local Exchange,Lotus or any SMTP-compatible local server)");
  auto* in_row = new QHBoxLayout;
  GroupColumn(inbound)->addLayout(in_row);
  QLineEdit* in_host = f->DefaultsEdit("inbound gateway IP", &C::InboundGatewayAddress, "InboundGatewayAddress", in_row);
  QSpinBox* in_port = f->DefaultsPort("Port", &C::InboundPort, "InboundPort", in_row);
  QCheckBox* pop3 = f->NewCheck(
      "Enable POP3 server for local users (use Tarnhold as local mail server, on a stand-alone desktop or notebook)",
      GroupColumn(inbound));
  QObject::connect(pop3, &QCheckBox::toggled, f, [f](bool on) {
    if (f->Refilling()) return;
    (void)SetEnablePop3Server(f->session_, on);
    if (f->refill_all) f->refill_all();
  });
  QGroupBox* outbound = f->AddGroup("Outbound delivery");
  auto* out_row = new QHBoxLayout;
  GroupColumn(outbound)->addLayout(out_row);
  QLineEdit* out_host = f->DefaultsEdit("outbound SMTP Host", &C::OutboundGatewayAddress, "OutboundGatewayAddress", out_row);
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
  FileBox(*f, "optional SMTP routing lookup", &C::SMTPRoutingFileName, "SMTPRoutingFileName", GroupColumn(outbound));
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
  f->DefaultsCheck("Distrubute messages for processing/routing to other Tarnhold hosts", &C::EnableClustering);
  FileBox(*f, "", &C::ClusterFileName, "ClusterFileName", nullptr);
  f->AddNote("use UNC or mapped network tarnhold shares");
  f->Column()->addStretch();
  return f;
}

PageForm* BuildPop3(AdminSession& s) {
  auto* f = new PageForm(s, "POP3 Download");
  auto* top = new QHBoxLayout;
  f->Column()->addLayout(top);
  f->DefaultsCheck("Enable POP3 download every", &C::EnablePOP3Download, top);
  f->DefaultsNumber("", &C::POP3DownloadInterval, "POP3DownloadInterval", top);
  top->addWidget(new QLabel("minutes", f));
  auto* body = new QHBoxLayout;
  f->Column()->addLayout(body);
  auto* left = new QVBoxLayout;
  body->addLayout(left);
  left->addWidget(new QLabel("POP3 ID", f));
  auto* ids = new QListWidget(f);
  ids->setObjectName("Pop3Ids");
  ids->setMaximumWidth(90);
  left->addWidget(ids);
  auto* fields = new QVBoxLayout;
  body->addLayout(fields, 1);
  auto edit = [&](const QString& label, std::string CPopAccountRecord::*field, const char* key) {
    auto* e = new QLineEdit(f);
    e->setObjectName(key);
    e->setMaxLength(static_cast<int>(kMaxConfigValueLength));
    f->Row(label, e, fields);
    QObject::connect(e, &QLineEdit::textEdited, f, [f, ids, field](const QString& t) {
      f->After(SetPopText(f->session_, Selected(ids), field, Text(t)));
    });
    return e;
  };
  QLineEdit* account = edit("POP3 account name", &CPopAccountRecord::Account, "account");
  QLineEdit* host = edit("POP3 server", &CPopAccountRecord::Host, "host");
  QLineEdit* password = edit("Password", &CPopAccountRecord::Password, "password");
  password->setEchoMode(QLineEdit::Password);
  auto* automatic = new QRadioButton(
      "Automatically, by finding the first address (after the Preceding Text) that matches one of the local domains", f);
  auto* numbered = new QRadioButton("In  the", f);
  auto* number = new QSpinBox(f);
  number->setObjectName("RecipientHeaderNumber");
  number->setRange(1, 1000);
  fields->addWidget(automatic);
  auto* n_row = new QHBoxLayout;
  fields->addLayout(n_row);
  n_row->addWidget(numbered);
  n_row->addWidget(number);
  n_row->addWidget(new QLabel(". encountered address after the Preceding Text", f));
  n_row->addStretch();
  QLineEdit* preceding = edit("Preceding Text", &CPopAccountRecord::PrecedingText, "PrecedingText");
  QLineEdit* fallback = edit("If the recipient cannot be identified, send this message to",
                             &CPopAccountRecord::DefaultAddress, "DefaultAddress");
  fields->addStretch();
  QObject::connect(numbered, &QRadioButton::toggled, f, [f, ids](bool on) {
    if (!f->Refilling()) (void)SetPopNumber(f->session_, Selected(ids), &CPopAccountRecord::RecipientDetectMode, on ? 1 : 0);
  });
  QObject::connect(number, &QSpinBox::valueChanged, f, [f, ids](int v) {
    if (!f->Refilling()) (void)SetPopNumber(f->session_, Selected(ids), &CPopAccountRecord::RecipientHeaderNumber, v);
  });
  auto* buttons = new QHBoxLayout;
  left->addLayout(buttons);
  f->AddButton("New", buttons, [f, ids] {
    int n = NewPopAccount(f->session_);
    f->Refill();
    ids->setCurrentRow(n);
  });
  f->AddButton("Delete", buttons, [f, ids] {
    (void)DeletePopAccount(f->session_, Selected(ids));
    f->Refill();
  });
  auto show_account = [f, ids, account, host, password, automatic, numbered, number, preceding, fallback] {
    const auto& pops = f->session_.Config().pop_accounts;
    int n = Selected(ids);
    bool has = n >= 0 && n < static_cast<int>(pops.size());
    CPopAccountRecord pop = has ? pops[static_cast<std::size_t>(n)] : CPopAccountRecord{};
    for (QWidget* w : std::initializer_list<QWidget*>{account, host, password, automatic, numbered, number, preceding, fallback})
      w->setEnabled(has);
    ShowText(account, pop.Account);
    ShowText(host, pop.Host);
    ShowText(password, pop.Password);
    ShowText(preceding, pop.PrecedingText);
    ShowText(fallback, pop.DefaultAddress);
    QSignalBlocker a(automatic), b(numbered), c(number);
    (pop.RecipientDetectMode == 1 ? numbered : automatic)->setChecked(true);
    number->setValue(pop.RecipientHeaderNumber);
  };
  QObject::connect(ids, &QListWidget::currentRowChanged, f, [f, show_account](int) {
    bool was = f->Refilling();
    (void)was;
    show_account();
  });
  f->OnRefill([f, ids, show_account] {
    std::vector<std::string> numbers;
    for (std::size_t n = 0; n < f->session_.Config().pop_accounts.size(); ++n) numbers.push_back(std::to_string(n));
    int keep = Selected(ids);
    {
      QSignalBlocker block(ids);
      ShowList(ids, numbers);
      if (keep >= static_cast<int>(numbers.size())) keep = static_cast<int>(numbers.size()) - 1;
      ids->setCurrentRow(keep);
    }
    show_account();
  });
  return f;
}

PageForm* BuildPop3Users(AdminSession& s) {
  auto* f = new PageForm(s, "Local POP3 Users");
  QLabel* note = f->AddNote("To use POP3 Accounts, enable POP3 Server in the Routing Domains section");
  auto* content = new QWidget(f);
  auto* body = new QHBoxLayout(content);
  f->Column()->addWidget(content);
  auto* left = new QVBoxLayout;
  body->addLayout(left, 1);
  left->addWidget(new QLabel("POP Accounts", content));
  auto* accounts = new QListWidget(content);
  accounts->setObjectName("AccountList");
  left->addWidget(accounts);
  auto* name = new QLineEdit(content);
  name->setObjectName("AccountEdit");
  name->setMaxLength(static_cast<int>(kMaxConfigValueLength));
  left->addWidget(name);
  auto* auto_box = new QCheckBox("Automatically create default mailbox", content);
  auto_box->setChecked(true);
  left->addWidget(auto_box);
  auto* buttons = new QHBoxLayout;
  left->addLayout(buttons);
  auto* right = new QVBoxLayout;
  body->addLayout(right, 1);
  auto* password = new QLineEdit(content);
  password->setObjectName("UserPassword");
  password->setMaxLength(static_cast<int>(kMaxConfigValueLength));
  f->Row("Password", password, right);
  auto* waiting = new QLabel(content);
  waiting->setObjectName("Waiting");
  f->Row("Number of messages waiting for collection", waiting, right);
  auto* id = new QLabel(content);
  id->setObjectName("UserId");
  f->Row("ID", id, right);
  right->addWidget(new QLabel("Email addresses (mailboxes)", content));
  auto* addresses = new QListWidget(content);
  addresses->setObjectName("AddressList");
  right->addWidget(addresses);
  auto* address = new QLineEdit(content);
  address->setObjectName("AddressEdit");
  address->setMaxLength(static_cast<int>(kMaxConfigValueLength));
  right->addWidget(address);
  auto* address_buttons = new QHBoxLayout;
  right->addLayout(address_buttons);

  auto show_user = [f, accounts, password, waiting, id, addresses] {
    int n = Selected(accounts);
    const auto& users = f->session_.Config().local_users;
    bool has = n >= 0 && n < static_cast<int>(users.size());
    ShowText(password, has ? users[static_cast<std::size_t>(n)].Password : "");
    waiting->setText(has ? QString::number(WaitingMessages(f->session_, n)) : QString());
    id->setText(has ? QString::number(n) : QString());
    ShowList(addresses, UserAddresses(f->session_, n));
  };
  f->AddButton("Add", buttons, [f, name, auto_box] {
    if (AddLocalUser(f->session_, Text(name->text()), auto_box->isChecked()) == Handled::Done) name->clear();
    f->Refill();
  });
  f->AddButton("Remove", buttons, [f, accounts] {
    (void)RemoveLocalUser(f->session_, Selected(accounts));
    f->Refill();
  });
  f->AddButton("Set as Default", buttons, [f, accounts] { (void)SetDefaultLocalUser(f->session_, Selected(accounts)); });
  f->AddButton("Add", address_buttons, [f, accounts, address] {
    if (AddUserAddress(f->session_, Selected(accounts), Text(address->text())) == Handled::Done) address->clear();
    f->Refill();
  });
  f->AddButton("Remove", address_buttons, [f, accounts, addresses] {
    (void)RemoveUserAddress(f->session_, Selected(accounts), SelectedText(addresses));
    f->Refill();
  });
  QObject::connect(password, &QLineEdit::textEdited, f, [f, accounts](const QString& t) {
    f->After(SetLocalUserPassword(f->session_, Selected(accounts), Text(t)));
  });
  QObject::connect(accounts, &QListWidget::currentRowChanged, f, [show_user](int) { show_user(); });
  f->OnRefill([f, accounts, show_user, note, content] {
    std::vector<std::string> names;
    // Every account keeps its row, so that a row is its ID; removed ones are marked.
    for (const CPopAccountRecord& u : f->session_.Config().local_users)
      names.push_back(u.Active == 1 ? u.Account : u.Account + " (removed)");
    int keep = Selected(accounts);
    {
      QSignalBlocker block(accounts);
      ShowList(accounts, names);
      accounts->setCurrentRow(std::min(keep, static_cast<int>(names.size()) - 1));
    }
    show_user();
    SettingsView view = RefillSettingsPages(f->session_);
    note->setVisible(view.local_users_note_visible);
    content->setEnabled(view.local_users_enabled);
  });
  return f;
}

PageForm* BuildVirus(AdminSession& s) {
  auto* f = new PageForm(s, "Interactive Virus Scan");
  auto* body = new QHBoxLayout;
  f->Column()->addLayout(body);
  auto* left = new QVBoxLayout;
  body->addLayout(left);
  left->addWidget(new QLabel("Scanner ID", f));
  auto* ids = new QListWidget(f);
  ids->setObjectName("ScannerIds");
  ids->setMaximumWidth(90);
  left->addWidget(ids);
  auto* buttons = new QHBoxLayout;
  left->addLayout(buttons);
  auto* fields = new QVBoxLayout;
  body->addLayout(fields, 1);
  std::vector<std::pair<QLineEdit*, std::string CScannerRecord::*>> edits;
  auto edit = [&](const QString& label, std::string CScannerRecord::*field, const char* key, QBoxLayout* into) {
    auto* e = new QLineEdit(f);
    e->setObjectName(key);
    e->setMaxLength(static_cast<int>(kMaxConfigValueLength));
    f->Row(label, e, into);
    QObject::connect(e, &QLineEdit::textEdited, f, [f, ids, field](const QString& t) {
      f->After(SetScannerText(f->session_, Selected(ids), field, Text(t)));
    });
    edits.emplace_back(e, field);
    return e;
  };
  edit("Product", &CScannerRecord::Title, "Title", fields);
  QCheckBox* enabled = f->NewCheck("Use this product when a rule requests virus check", fields);
  auto* exe_row = new QHBoxLayout;
  fields->addLayout(exe_row);
  QLineEdit* exe = edit("EXE path", &CScannerRecord::ExePath, "ExePath", exe_row);
  f->AddButton("Browse", exe_row, [f, ids, exe] {
    QString chosen = QFileDialog::getOpenFileName(f, "EXE path", exe->text());
    if (chosen.isEmpty()) return;
    f->After(SetScannerText(f->session_, Selected(ids), &CScannerRecord::ExePath, Text(chosen)));
    f->Refill();
  });
  edit("Command params", &CScannerRecord::Params, "Params", fields);
  QGroupBox* pass = f->AddGroup("Message file attachments are OK to pass when the following text is", fields);
  edit("found", &CScannerRecord::SafeStartFindText, "SafeStartFindText", GroupColumn(pass));
  edit("not found", &CScannerRecord::SafeStartDontFindText, "SafeStartDontFindText", GroupColumn(pass));
  GroupColumn(pass)->addWidget(new QLabel("in the report file", f));
  QGroupBox* now = f->AddGroup(
      "If a virus removal was attempted, file attachments are OK to reinsert when the following text is", fields);
  edit("found", &CScannerRecord::SafeNowFindText, "SafeNowFindText", GroupColumn(now));
  edit("not found", &CScannerRecord::SafeNowDontFindText, "SafeNowDontFindText", GroupColumn(now));
  QCheckBox* clean = f->NewCheck("attempt to remove any virus when found", fields);
  fields->addStretch();
  for (auto [box, field] : {std::pair{enabled, &CScannerRecord::Enabled}, std::pair{clean, &CScannerRecord::TryClean}}) {
    QObject::connect(box, &QCheckBox::toggled, f, [f, ids, field](bool on) {
      if (!f->Refilling()) (void)SetScannerFlag(f->session_, Selected(ids), field, on);
    });
  }
  auto show_scanner = [f, ids, edits, enabled, clean] {
    const auto& scanners = f->session_.Config().scanners;
    int n = Selected(ids);
    bool has = n >= 0 && n < static_cast<int>(scanners.size());
    CScannerRecord scanner = has ? scanners[static_cast<std::size_t>(n)] : CScannerRecord{};
    for (auto [e, field] : edits) {
      e->setEnabled(has);
      ShowText(e, scanner.*field);
    }
    QSignalBlocker a(enabled), b(clean);
    enabled->setEnabled(has);
    clean->setEnabled(has);
    enabled->setChecked(scanner.Enabled == 1);
    clean->setChecked(scanner.TryClean == 1);
  };
  f->AddButton("New", buttons, [f, ids] {
    int n = NewScanner(f->session_);
    f->Refill();
    ids->setCurrentRow(n);
  });
  f->AddButton("Delete", buttons, [f, ids] {
    (void)DeleteScanner(f->session_, Selected(ids));
    f->Refill();
  });
  QObject::connect(ids, &QListWidget::currentRowChanged, f, [show_scanner](int) { show_scanner(); });
  f->OnRefill([f, ids, show_scanner] {
    std::vector<std::string> numbers;
    for (std::size_t n = 0; n < f->session_.Config().scanners.size(); ++n) numbers.push_back(std::to_string(n));
    int keep = Selected(ids);
    {
      QSignalBlocker block(ids);
      ShowList(ids, numbers);
      ids->setCurrentRow(std::min(keep, static_cast<int>(numbers.size()) - 1));
    }
    show_scanner();
  });
  return f;
}

PageForm* BuildSpam(AdminSession& s) {
  auto* f = new PageForm(s, "SPAM Protection");
  for (auto [title, name, list] : {std::tuple{"Friends list", "Friends", SpamList::Friends},
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
      ShowList(l.list, list == SpamList::Friends ? f->session_.Friends() : f->session_.Redirections());
    });
  }
  f->DefaultsEdit("When replying to messages identified as SPAM, use the following email address",
                  &C::SpamReplyEmail, "SpamReplyEmail");
  return f;
}

PageForm* BuildRas(AdminSession& s) {
  auto* f = new PageForm(s, "Dialling");
  f->DefaultsCheck("automatically dial up remote network to send and recieve mail", &C::EnableRas);
  auto combo = [&](const QString& label, std::string C::*field, const char* key, const std::vector<std::string>& entries) {
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
  f->DefaultsEdit("Password", &C::DialPassword, "DialPassword", creds)->setEchoMode(QLineEdit::Password);
  EditableList times = AddEditableList(*f, "Regular dial times (use HH:MM format)", "DialTime", f->Column());
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
                             std::pair{"Wednesday", &C::DialWED}, std::pair{"Thursday", &C::DialTHU},
                             std::pair{"Friday", &C::DialFRI}, std::pair{"Saturday", &C::DialSAT},
                             std::pair{"Sunday", &C::DialSUN}})
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
    QString chosen = QFileDialog::getOpenFileName(f, "Browse", Q(f->session_.Layout().Lists().string()));
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
    case PageId::Pop3:
      return BuildPop3(session);
    case PageId::Pop3Users:
      return BuildPop3Users(session);
    case PageId::Virus:
      return BuildVirus(session);
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
  return BuildRulePage(page, session);
}

}  // namespace tarnhold
