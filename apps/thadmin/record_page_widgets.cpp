// The settings pages of numbered records: POP3 download accounts, local POP3 users and virus
// scanners. Each shows a list of record numbers and the fields of the selected record.
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
      "Automatically, by finding the first address (after the Preceding Text) that matches one of "
      "the local domains",
      f);
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
    if (!f->Refilling())
      (void)SetPopNumber(f->session_, Selected(ids), &CPopAccountRecord::RecipientDetectMode,
                         on ? 1 : 0);
  });
  QObject::connect(number, &QSpinBox::valueChanged, f, [f, ids](int v) {
    if (!f->Refilling())
      (void)SetPopNumber(f->session_, Selected(ids), &CPopAccountRecord::RecipientHeaderNumber, v);
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
  auto show_account = [f, ids, account, host, password, automatic, numbered, number, preceding,
                       fallback] {
    const auto& pops = f->session_.Config().pop_accounts;
    int n = Selected(ids);
    bool has = n >= 0 && n < static_cast<int>(pops.size());
    CPopAccountRecord pop = has ? pops[static_cast<std::size_t>(n)] : CPopAccountRecord{};
    for (QWidget* w : std::initializer_list<QWidget*>{account, host, password, automatic, numbered,
                                                      number, preceding, fallback})
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
  QObject::connect(ids, &QListWidget::currentRowChanged, f,
                   [show_account](int) { show_account(); });
  f->OnRefill([f, ids, show_account] {
    std::vector<std::string> numbers;
    for (std::size_t n = 0; n < f->session_.Config().pop_accounts.size(); ++n)
      numbers.push_back(std::to_string(n));
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
  QLabel* note =
      f->AddNote("To use POP3 Accounts, enable POP3 Server in the Routing Domains section");
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
    if (AddLocalUser(f->session_, Text(name->text()), auto_box->isChecked()) == Handled::Done)
      name->clear();
    f->Refill();
  });
  f->AddButton("Remove", buttons, [f, accounts] {
    (void)RemoveLocalUser(f->session_, Selected(accounts));
    f->Refill();
  });
  f->AddButton("Set as Default", buttons,
               [f, accounts] { (void)SetDefaultLocalUser(f->session_, Selected(accounts)); });
  f->AddButton("Add", address_buttons, [f, accounts, address] {
    if (AddUserAddress(f->session_, Selected(accounts), Text(address->text())) == Handled::Done)
      address->clear();
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
  auto edit = [&](const QString& label, std::string CScannerRecord::*field, const char* key,
                  QBoxLayout* into) {
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
  QGroupBox* pass =
      f->AddGroup("Message file attachments are OK to pass when the following text is", fields);
  edit("found", &CScannerRecord::SafeStartFindText, "SafeStartFindText", GroupColumn(pass));
  edit("not found", &CScannerRecord::SafeStartDontFindText, "SafeStartDontFindText",
       GroupColumn(pass));
  GroupColumn(pass)->addWidget(new QLabel("in the report file", f));
  QGroupBox* now = f->AddGroup(
      "If a virus removal was attempted, file attachments are OK to reinsert when the following "
      "text is",
      fields);
  edit("found", &CScannerRecord::SafeNowFindText, "SafeNowFindText", GroupColumn(now));
  edit("not found", &CScannerRecord::SafeNowDontFindText, "SafeNowDontFindText", GroupColumn(now));
  QCheckBox* clean = f->NewCheck("attempt to remove any virus when found", fields);
  fields->addStretch();
  for (auto [box, field] : {std::pair{enabled, &CScannerRecord::Enabled},
                            std::pair{clean, &CScannerRecord::TryClean}}) {
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
  QObject::connect(ids, &QListWidget::currentRowChanged, f,
                   [show_scanner](int) { show_scanner(); });
  f->OnRefill([f, ids, show_scanner] {
    std::vector<std::string> numbers;
    for (std::size_t n = 0; n < f->session_.Config().scanners.size(); ++n)
      numbers.push_back(std::to_string(n));
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

}  // namespace

PageForm* BuildRecordPage(PageId page, AdminSession& session) {
  switch (page) {
    case PageId::Pop3:
      return BuildPop3(session);
    case PageId::Pop3Users:
      return BuildPop3Users(session);
    case PageId::Virus:
      return BuildVirus(session);
    default:
      return nullptr;
  }
}

}  // namespace tarnhold
