#include "apps/thadmin/page_form.h"

#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "admin/rule_pages.h"
#include "admin/settings_pages.h"

namespace tarnhold {

std::string Text(const QString& s) { return s.toStdString(); }
int Selected(const QListWidget* list) { return list->currentRow(); }
std::string SelectedText(const QListWidget* list) {
  return list->currentItem() ? Text(list->currentItem()->text()) : std::string();
}
QBoxLayout* GroupColumn(QGroupBox* group) { return static_cast<QBoxLayout*>(group->layout()); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

void ShowText(QLineEdit* edit, const std::string& text) {
  QString q = Q(text);
  if (edit->text() != q) edit->setText(q);
}

void ShowList(QListWidget* list, const std::vector<std::string>& entries) {
  QString selected = list->currentItem() ? list->currentItem()->text() : QString();
  QSignalBlocker block(list);
  list->clear();
  for (const std::string& e : entries) list->addItem(Q(e));
  if (!selected.isEmpty()) {
    QList<QListWidgetItem*> found = list->findItems(selected, Qt::MatchExactly);
    if (!found.isEmpty()) list->setCurrentItem(found.front());
  }
}

PageForm::PageForm(AdminSession& session, const QString& heading, QWidget* parent)
    : QWidget(parent), session_(session), column_(new QVBoxLayout(this)) {
  if (!heading.isEmpty()) {
    auto* title = new QLabel(heading, this);
    title->setWordWrap(true);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    column_->addWidget(title);
  }
}

void PageForm::Refill() {
  refilling_ = true;
  for (const auto& refill : refills_) refill();
  refilling_ = false;
}

void PageForm::After(Handled handled) {
  if (handled == Handled::Refused && refill_all) refill_all();
}

QGroupBox* PageForm::AddGroup(const QString& title, QBoxLayout* into) {
  auto* group = new QGroupBox(title, this);
  new QVBoxLayout(group);
  (into ? into : column_)->addWidget(group);
  return group;
}

QLabel* PageForm::AddNote(const QString& text, QBoxLayout* into) {
  auto* note = new QLabel(text, this);
  note->setWordWrap(true);
  (into ? into : column_)->addWidget(note);
  return note;
}

QPushButton* PageForm::AddButton(const QString& text, QBoxLayout* into,
                                 std::function<void()> on_click) {
  auto* button = new QPushButton(text, this);
  button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  QObject::connect(button, &QPushButton::clicked, this, [on_click] { on_click(); });
  (into ? into : column_)->addWidget(button);
  return button;
}

QBoxLayout* PageForm::Row(const QString& label, QWidget* widget, QBoxLayout* into) {
  auto* row = new QHBoxLayout;
  if (!label.isEmpty()) row->addWidget(new QLabel(label, this));
  row->addWidget(widget, widget->sizePolicy().horizontalPolicy() == QSizePolicy::Fixed ? 0 : 1);
  (into ? into : column_)->addLayout(row);
  return row;
}

QCheckBox* PageForm::NewCheck(const QString& text, QBoxLayout* into) {
  // A check box does not wrap its text; a long one goes into a wrapping label beside the box.
  constexpr int kLongText = 70;
  QBoxLayout* target = into ? into : column_;
  if (text.size() <= kLongText) {
    auto* box = new QCheckBox(text, this);
    target->addWidget(box);
    return box;
  }
  auto* box = new QCheckBox(this);
  box->setAccessibleName(text);
  auto* label = new QLabel(text, this);
  label->setWordWrap(true);
  label->setBuddy(box);
  auto* row = new QHBoxLayout;
  row->addWidget(box, 0, Qt::AlignTop);
  row->addWidget(label, 1, Qt::AlignTop);
  target->addLayout(row);
  return box;
}

QCheckBox* PageForm::RuleCheck(const QString& text, int CRuleRecord::*field, QBoxLayout* into) {
  QCheckBox* box = NewCheck(text, into);
  connect(box, &QCheckBox::toggled, this, [this, field](bool on) {
    if (!Refilling()) After(SetRuleFlag(session_, field, on));
  });
  OnRefill([this, box, field] {
    if (const CRuleRecord* rule = session_.Rule()) {
      QSignalBlocker block(box);
      box->setChecked(rule->*field == 1);
    }
  });
  return box;
}

QLineEdit* PageForm::RuleEdit(const QString& label, std::string CRuleRecord::*field,
                              const char* key, QBoxLayout* into) {
  auto* edit = new QLineEdit(this);
  edit->setObjectName(key);
  // Longer texts would be cut by every reader of the file: refused where they are typed.
  edit->setMaxLength(static_cast<int>(kMaxConfigValueLength));
  Row(label, edit, into);
  connect(edit, &QLineEdit::textEdited, this,
          [this, field](const QString& text) { After(SetRuleText(session_, field, Text(text))); });
  OnRefill([this, edit, field] {
    if (const CRuleRecord* rule = session_.Rule()) ShowText(edit, rule->*field);
  });
  return edit;
}

QSpinBox* PageForm::RuleNumber(int CRuleRecord::*field, const char* key, QBoxLayout* into,
                               int maximum) {
  auto* spin = new QSpinBox(this);
  spin->setObjectName(key);
  spin->setRange(0, maximum);
  into->addWidget(spin);
  connect(spin, &QSpinBox::valueChanged, this, [this, field](int value) {
    if (!Refilling()) After(SetRuleNumber(session_, field, value));
  });
  OnRefill([this, spin, field] {
    if (const CRuleRecord* rule = session_.Rule()) {
      QSignalBlocker block(spin);
      spin->setValue(rule->*field);
    }
  });
  return spin;
}

QCheckBox* PageForm::DefaultsCheck(const QString& text, int CGatewayConfig::*field,
                                   QBoxLayout* into) {
  QCheckBox* box = NewCheck(text, into);
  connect(box, &QCheckBox::toggled, this, [this, field](bool on) {
    if (!Refilling()) After(SetDefaultsFlag(session_, field, on));
  });
  OnRefill([this, box, field] {
    QSignalBlocker block(box);
    box->setChecked(session_.Config().*field == 1);
  });
  return box;
}

QLineEdit* PageForm::DefaultsEdit(const QString& label, std::string CGatewayConfig::*field,
                                  const char* key, QBoxLayout* into) {
  auto* edit = new QLineEdit(this);
  edit->setObjectName(key);
  edit->setMaxLength(static_cast<int>(kMaxConfigValueLength));
  Row(label, edit, into);
  connect(edit, &QLineEdit::textEdited, this, [this, field](const QString& text) {
    After(SetDefaultsText(session_, field, Text(text)));
  });
  OnRefill([this, edit, field] { ShowText(edit, session_.Config().*field); });
  return edit;
}

QSpinBox* PageForm::DefaultsNumber(const QString& label, int CGatewayConfig::*field,
                                   const char* key, QBoxLayout* into, int maximum) {
  auto* spin = new QSpinBox(this);
  spin->setObjectName(key);
  spin->setRange(0, maximum);
  spin->setMinimumWidth(90);
  spin->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  Row(label, spin, into);
  connect(spin, &QSpinBox::valueChanged, this, [this, field](int value) {
    if (!Refilling()) After(SetDefaultsNumber(session_, field, value));
  });
  OnRefill([this, spin, field] {
    QSignalBlocker block(spin);
    spin->setValue(session_.Config().*field);
  });
  return spin;
}

QSpinBox* PageForm::DefaultsPort(const QString& label, std::uint16_t CGatewayConfig::*field,
                                 const char* key, QBoxLayout* into) {
  auto* spin = new QSpinBox(this);
  spin->setObjectName(key);
  spin->setRange(0, 65535);
  spin->setMinimumWidth(90);
  spin->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  Row(label, spin, into);
  connect(spin, &QSpinBox::valueChanged, this, [this, field](int value) {
    if (!Refilling()) After(SetDefaultsPort(session_, field, value));
  });
  OnRefill([this, spin, field] {
    QSignalBlocker block(spin);
    spin->setValue(session_.Config().*field);
  });
  return spin;
}

}  // namespace tarnhold
