// Data-aware controls: Qt widgets bound to a field of a TDataSource's dataset.
//
// They follow the dataset model: they show the current record's field; changing one puts the
// record into edit state (Edit) and holds the new value until the dataset posts (the UpdateRecord
// event) or the control loses the focus, when it is stored in the field; moving to another
// record or Post stores the record, Cancel discards it and the controls show the stored values
// again. A NULL boolean shows as a grey (partly checked) box. While the dataset is read-only the
// boxes are read-only and the check boxes disabled; a box of a whole-number field takes only
// digits (and a sign). Errors raised by the dataset while a
// control works (a record locked by another user, a value that does not convert) go to the error
// handler the window installs (SetDataControlErrorHandler), and the control shows the field again.
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QWidget>
#include <functional>
#include <string>

#include "data/DataSource.h"

class QFocusEvent;
class QToolButton;

namespace quellor {

class Ui;

// Where errors of data-aware controls are shown (the standard error box in the program).
void SetDataControlErrorHandler(std::function<void(const std::string&)> handler);
void ReportDataControlError(const std::string& text);

// What the controls share: the source, the field name, and the bookkeeping of a pending edit.
class TFieldDataLink : public TDataLink {
 public:
  TFieldDataLink() = default;
  ~TFieldDataLink() override;

  void SetDataSource(TDataSource* source);
  const std::string& DataField() const { return field_; }
  void SetDataField(const std::string& field);

  // The bound field of the current record, or null (no source, closed dataset, unknown field).
  TStoreField* Field() const;
  // True when the source's dataset is open and cannot be changed (a read-only table).
  bool ReadOnlyData() const;
  bool Modified() const { return modified_; }
  // Puts the dataset into edit state for a change the person makes; false (and the error shown)
  // when that is refused.
  bool BeginChange();
  // Stores the control's pending value in the field.
  void StoreValue();
  // The same when the focus leaves the control for another one of its window; errors are shown.
  void StoreOnLeave(QWidget& control, QFocusEvent* event);

  void DataEvent(TDataEvent event, int info) override;

 protected:
  // Show the field's value (or empty when there is none) / write the control's value.
  virtual void Load() = 0;
  virtual void Save(TStoreField& field) = 0;
  virtual void SetControlEnabled(bool on) = 0;
  virtual void SetControlReadOnly(bool on) = 0;
  // Enables the control for a bound field and makes it read-only for a read-only dataset.
  void UpdateAccess();
  void Reload();

 private:
  std::string field_;
  bool modified_ = false;
  bool loading_ = false;
  bool saving_ = false;
  bool starting_ = false;  // a new record is being started by typing into this control

 protected:
  bool Loading() const { return loading_; }
  void SetModified(bool on) { modified_ = on; }
};

class TDBEdit : public QLineEdit, public TFieldDataLink {
  Q_OBJECT
 public:
  explicit TDBEdit(QWidget* parent = nullptr);

 protected:
  void Load() override;
  void Save(TStoreField& field) override;
  void SetControlEnabled(bool on) override { setEnabled(on); }
  void SetControlReadOnly(bool on) override { setReadOnly(on); }
  void focusOutEvent(QFocusEvent* event) override;
};

class TDBMemo : public QPlainTextEdit, public TFieldDataLink {
  Q_OBJECT
 public:
  explicit TDBMemo(QWidget* parent = nullptr);

 protected:
  void Load() override;
  void Save(TStoreField& field) override;
  void SetControlEnabled(bool on) override { setEnabled(on); }
  void SetControlReadOnly(bool on) override { setReadOnly(on); }
  void focusOutEvent(QFocusEvent* event) override;
  // Tab moves on to the next box; Ctrl+Tab puts a tab character into the text.
  void keyPressEvent(QKeyEvent* event) override;
};

class TDBCheckBox : public QCheckBox, public TFieldDataLink {
  Q_OBJECT
 public:
  explicit TDBCheckBox(const QString& caption, QWidget* parent = nullptr);

 protected:
  void Load() override;
  void Save(TStoreField& field) override;
  void SetControlEnabled(bool on) override { setEnabled(on); }
  void SetControlReadOnly(bool on) override {
    if (on) setEnabled(false);
  }
  // A click turns a grey (NULL) or empty box into a check mark, and a check mark into none.
  void nextCheckState() override;
};

// The record navigator: First, Prior, Next, Last, Insert, Delete, Post, Cancel and Refresh, as
// tool buttons with the desktop theme's icons (or the program's own). Delete asks "Delete
// record?" (or the question DeleteQuestion gives for the current record) with OK and Cancel
// through the Ui port first, Cancel being the default button. On a read-only dataset Insert and
// Delete are disabled.
class TDBNavigator : public QWidget, public TDataLink {
  Q_OBJECT
 public:
  enum Button { nbFirst, nbPrior, nbNext, nbLast, nbInsert, nbDelete, nbPost, nbCancel, nbRefresh };

  TDBNavigator(Ui& ui, QWidget* parent = nullptr);
  ~TDBNavigator() override;

  void SetDataSource(TDataSource* source);
  void BtnClick(Button button);
  QToolButton* ButtonWidget(Button button) const { return buttons_[button]; }

  void DataEvent(TDataEvent event, int info) override;

  // The question Delete asks about the current record; empty: "Delete record?".
  std::function<std::string()> DeleteQuestion;

 public:
  // Enables the buttons for the dataset's state (and for typing held on a record another user
  // edits: Post and Cancel).
  void UpdateButtons();

 private:
  Ui& ui_;
  QToolButton* buttons_[9] = {};
};

}  // namespace quellor
