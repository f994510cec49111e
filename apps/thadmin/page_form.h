// The frame of every thadmin page: a heading, a column of controls, and helpers that bind one
// control to one key. A bound control forwards each change to the logic at once and is set
// from the in-memory configuration at every refill; a refused change refills all pages, so
// the control shows the stored state again.
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "admin/admin_session.h"

class QBoxLayout;
class QFormLayout;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace tarnhold {

class PageForm : public QWidget {
 public:
  PageForm(AdminSession& session, const QString& heading, QWidget* parent = nullptr);

  // Sets every bound control from the configuration.
  void Refill();
  // Called after a refused change; the window refills every page.
  std::function<void()> refill_all;

  // The builders of the pages use the binding helpers below.
  // The column the controls go into.
  [[nodiscard]] QBoxLayout* Column() const { return column_; }
  void OnRefill(std::function<void()> refill) { refills_.push_back(std::move(refill)); }
  void After(Handled handled);
  // A refill sets controls without firing their handlers.
  [[nodiscard]] bool Refilling() const { return refilling_; }

  QGroupBox* AddGroup(const QString& title, QBoxLayout* into = nullptr);
  QLabel* AddNote(const QString& text, QBoxLayout* into = nullptr);
  QPushButton* AddButton(const QString& text, QBoxLayout* into, std::function<void()> on_click);

  // A check box with `text`; a long text wraps in a label beside it (the box's accessible name).
  QCheckBox* NewCheck(const QString& text, QBoxLayout* into);
  // Rule keys (nothing happens while no rule is current).
  QCheckBox* RuleCheck(const QString& text, int CRuleRecord::*field, QBoxLayout* into = nullptr);
  QLineEdit* RuleEdit(const QString& label, std::string CRuleRecord::*field, const char* key,
                      QBoxLayout* into = nullptr);
  QSpinBox* RuleNumber(int CRuleRecord::*field, const char* key, QBoxLayout* into,
                       int maximum = 1'000'000);

  // [Defaults] keys.
  QCheckBox* DefaultsCheck(const QString& text, int CGatewayConfig::*field,
                           QBoxLayout* into = nullptr);
  QLineEdit* DefaultsEdit(const QString& label, std::string CGatewayConfig::*field, const char* key,
                          QBoxLayout* into = nullptr);
  QSpinBox* DefaultsNumber(const QString& label, int CGatewayConfig::*field, const char* key,
                           QBoxLayout* into = nullptr, int maximum = 1'000'000);
  QSpinBox* DefaultsPort(const QString& label, std::uint16_t CGatewayConfig::*field,
                         const char* key, QBoxLayout* into = nullptr);

  // A labelled row: the label, then `widget`; returns the row's layout for more widgets.
  QBoxLayout* Row(const QString& label, QWidget* widget, QBoxLayout* into = nullptr);

  AdminSession& session_;

 private:
  QBoxLayout* column_;
  std::vector<std::function<void()>> refills_;
  bool refilling_ = false;
};

// Sets a line edit's text without moving the cursor when it already holds it.
void ShowText(QLineEdit* edit, const std::string& text);
// Replaces a list widget's entries, keeping the selection on the same text when present.
void ShowList(QListWidget* list, const std::vector<std::string>& entries);
// The selected row of a list (-1 when none) and its text ("" when none).
[[nodiscard]] int Selected(const QListWidget* list);
[[nodiscard]] std::string SelectedText(const QListWidget* list);
// The column of a group box made by AddGroup.
[[nodiscard]] QBoxLayout* GroupColumn(QGroupBox* group);
[[nodiscard]] std::string Text(const QString& s);
[[nodiscard]] QString Q(const std::string& s);

}  // namespace tarnhold
