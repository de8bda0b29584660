#include "data/ui/DBControls.h"

#include <QFocusEvent>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QMessageBox>
#include <QToolButton>
#include <climits>
#include <exception>

#include "app/Ui.h"
#include "app/ui/Icons.h"
#include "app/ui/QtText.h"
#include "data/FieldText.h"

namespace quellor {

namespace {
std::function<void(const std::string&)>& ErrorHandler() {
  static std::function<void(const std::string&)> handler;
  return handler;
}
}  // namespace

void SetDataControlErrorHandler(std::function<void(const std::string&)> handler) {
  ErrorHandler() = std::move(handler);
}

void ReportDataControlError(const std::string& text) {
  // An error box takes the focus from the control that reported; never report again from there.
  static bool reporting = false;
  if (reporting) return;
  reporting = true;
  if (ErrorHandler()) {
    ErrorHandler()(text);
  } else {
    QMessageBox::critical(nullptr, "Quellor", ToQ(StandardErrorText(text)));
  }
  reporting = false;
}

void TFieldDataLink::StoreOnLeave(QWidget& control, QFocusEvent* event) {
  // Only a move of the focus within the window stores the value; a window losing the focus (to
  // a dialog or another program) or closing keeps it pending until the record is posted.
  if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason)
    return;
  if (!control.window()->isVisible()) return;
  try {
    StoreValue();
  } catch (const std::exception& e) {
    ReportDataControlError(e.what());
  }
}

// ---- TFieldDataLink ---------------------------------------------------------------------------

TFieldDataLink::~TFieldDataLink() = default;

void TFieldDataLink::SetDataSource(TDataSource* source) {
  if (source_ == source) return;
  AttachTo(source);
  modified_ = false;
  Reload();
}

void TFieldDataLink::SetDataField(const std::string& field) {
  field_ = field;
  modified_ = false;
  Reload();
}

TStoreField* TFieldDataLink::Field() const {
  if (!source_ || !source_->Active() || field_.empty()) return nullptr;
  return source_->DataSet()->FindField(field_);
}

bool TFieldDataLink::ReadOnlyData() const {
  return source_ && source_->Active() && source_->DataSet()->ReadOnly();
}

void TFieldDataLink::UpdateAccess() {
  SetControlEnabled(Field() != nullptr);
  SetControlReadOnly(ReadOnlyData());
}

void TFieldDataLink::Reload() {
  loading_ = true;
  try {
    Load();
  } catch (const std::exception& e) {
    loading_ = false;
    ReportDataControlError(e.what());
    return;
  }
  loading_ = false;
  UpdateAccess();
}

bool TFieldDataLink::BeginChange() {
  TStoreField* field = Field();
  if (!field) return false;
  TStoreTable* dataSet = source_->DataSet();
  if (dataSet->State() == TDataSetState::Browse) {
    try {
      // With no record to change, typing starts a new one; the control keeps what is typed
      // while the new record is shown.
      if (dataSet->IsEmpty()) {
        starting_ = true;
        dataSet->Append();
        starting_ = false;
      } else if (!dataSet->TryEdit()) {
        // Another user edits the record: no waiting, the typing stays in the control and the
        // window says who; Post takes the record later.
        modified_ = true;
        source_->HoldChanges(dataSet->RecordHolder());
        return true;
      }
    } catch (const std::exception& e) {
      starting_ = false;
      ReportDataControlError(e.what());
      modified_ = false;
      Reload();
      return false;
    }
  }
  modified_ = true;
  return true;
}

void TFieldDataLink::StoreValue() {
  TStoreField* field = Field();
  if (!modified_ || !field) return;
  // Held typing waits in the control until Post takes the record.
  if (source_->HeldChanges() && source_->State() == TDataSetState::Browse) return;
  saving_ = true;
  try {
    Save(*field);
  } catch (...) {
    saving_ = false;
    throw;
  }
  saving_ = false;
  modified_ = false;
}

void TFieldDataLink::DataEvent(TDataEvent event, int info) {
  if (starting_) return;
  switch (event) {
    case TDataEvent::ActiveChanged:
    case TDataEvent::RecordChanged:
      modified_ = false;
      Reload();
      break;
    case TDataEvent::StateChanged:
      // Entering edit state must not overwrite what the person is typing; leaving it (post or
      // cancel) shows the stored values.
      if (source_ && source_->State() == TDataSetState::Browse) {
        modified_ = false;
        Reload();
      } else {
        UpdateAccess();
      }
      break;
    case TDataEvent::FieldChanged:
      if (!saving_) {
        if (TStoreField* field = Field(); field && field->Index() == info) {
          modified_ = false;
          Reload();
        }
      }
      break;
    case TDataEvent::UpdateRecord:
      StoreValue();  // a value that does not convert stops the post, which keeps the edit
      break;
  }
}

// ---- TDBEdit ----------------------------------------------------------------------------------

TDBEdit::TDBEdit(QWidget* parent) : QLineEdit(parent) {
  setEnabled(false);
  connect(this, &QLineEdit::textEdited, this, [this](const QString&) {
    if (!Loading()) BeginChange();
  });
}

void TDBEdit::Load() {
  TStoreField* field = Field();
  if (field && field->DataType() == TFieldType::String)
    setMaxLength(field->Size() > 0 ? field->Size() : 32767);
  // A whole-number field takes digits only, within its range; empty stays allowed (no value).
  TFieldType type = field ? field->DataType() : TFieldType::Unknown;
  if (type == TFieldType::SmallInt || type == TFieldType::Integer || type == TFieldType::Word) {
    int low = type == TFieldType::SmallInt ? -32768 : type == TFieldType::Word ? 0 : INT_MIN;
    int high = type == TFieldType::SmallInt ? 32767 : type == TFieldType::Word ? 65535 : INT_MAX;
    auto* range = qobject_cast<const QIntValidator*>(validator());
    if (!range || range->bottom() != low || range->top() != high)
      setValidator(new QIntValidator(low, high, this));
  } else if (validator()) {
    setValidator(nullptr);
  }
  // Dates in the person's short date format, times to the second.
  setText(field ? ToQ(FieldDisplayText(*field)) : QString());
  setCursorPosition(0);
}

void TDBEdit::Save(TStoreField& field) {
  field.SetAsString(FromQ(text()));
}

void TDBEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  StoreOnLeave(*this, event);
}

// ---- TDBMemo ----------------------------------------------------------------------------------

TDBMemo::TDBMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setEnabled(false);
  setTabChangesFocus(true);
  connect(this, &QPlainTextEdit::textChanged, this, [this] {
    if (!Loading()) BeginChange();
  });
}

void TDBMemo::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Tab && event->modifiers() == Qt::ControlModifier) {
    insertPlainText("\t");
    event->accept();
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

void TDBMemo::Load() {
  TStoreField* field = Field();
  setPlainText(field ? ToQ(field->AsString()) : QString());
}

void TDBMemo::Save(TStoreField& field) {
  // The text is kept with CR LF line ends, as the program's text files are.
  std::string text = FromQ(toPlainText());
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  field.SetAsString(out);
}

void TDBMemo::focusOutEvent(QFocusEvent* event) {
  QPlainTextEdit::focusOutEvent(event);
  StoreOnLeave(*this, event);
}

// ---- TDBCheckBox ------------------------------------------------------------------------------

TDBCheckBox::TDBCheckBox(const QString& caption, QWidget* parent) : QCheckBox(caption, parent) {
  setTristate(true);
  setEnabled(false);
}

void TDBCheckBox::Load() {
  TStoreField* field = Field();
  if (!field || field->IsNull()) {
    setCheckState(Qt::PartiallyChecked);
  } else {
    setCheckState(field->AsBoolean() ? Qt::Checked : Qt::Unchecked);
  }
}

void TDBCheckBox::Save(TStoreField& field) {
  field.SetAsBoolean(checkState() == Qt::Checked);
}

void TDBCheckBox::nextCheckState() {
  if (!BeginChange()) return;
  setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
  try {
    StoreValue();
  } catch (const std::exception& e) {
    ReportDataControlError(e.what());
    Reload();
  }
}

// ---- TDBNavigator -----------------------------------------------------------------------------

TDBNavigator::TDBNavigator(Ui& ui, QWidget* parent) : QWidget(parent), ui_(ui) {
  setObjectName("DBNavigator1");
  struct Spec {
    const char *name, *icon, *hint;
  } specs[] = {
      {"First", "go-first", "First record"},       {"Prior", "go-previous", "Prior record"},
      {"Next", "go-next", "Next record"},          {"Last", "go-last", "Last record"},
      {"Insert", "list-add", "Insert record"},     {"Delete", "list-remove", "Delete record"},
      {"Post", "document-save", "Post edit"},      {"Cancel", "edit-undo", "Cancel edit"},
      {"Refresh", "view-refresh", "Refresh data"},
  };
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  for (int i = 0; i < 9; ++i) {
    auto* b = new QToolButton(this);
    b->setObjectName(QString("nb") + specs[i].name);
    b->setIcon(ThemeIcon(specs[i].icon));
    b->setText(specs[i].hint);
    b->setToolTip(specs[i].hint);
    b->setToolButtonStyle(Qt::ToolButtonIconOnly);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    connect(b, &QToolButton::clicked, this, [this, i] { BtnClick(static_cast<Button>(i)); });
    buttons_[i] = b;
    row->addWidget(b);
  }
  UpdateButtons();
}

TDBNavigator::~TDBNavigator() = default;

void TDBNavigator::SetDataSource(TDataSource* source) {
  AttachTo(source);
  UpdateButtons();
}

void TDBNavigator::BtnClick(Button button) {
  if (!source_ || !source_->Active()) return;
  TStoreTable& t = *source_->DataSet();
  try {
    switch (button) {
      case nbFirst:
        t.First();
        break;
      case nbPrior:
        t.Prior();
        break;
      case nbNext:
        t.Next();
        break;
      case nbLast:
        t.Last();
        break;
      case nbInsert:
        t.Insert();
        break;
      case nbDelete: {
        std::string question = DeleteQuestion ? DeleteQuestion() : std::string();
        if (question.empty()) question = "Delete record?";
        if (ui_.MessageBoxWithDefault(question, "Quellor", MbButtons::OkCancel, MbIcon::Question,
                                      MbResult::Cancel) == MbResult::Ok)
          t.Delete();
        break;
      }
      case nbPost:
        // Held typing: take the record now (without waiting) and store what the controls kept.
        if (t.State() == TDataSetState::Browse && source_->HeldChanges() && !t.TryEdit()) {
          source_->HoldChanges(t.RecordHolder());
          break;
        }
        t.Post();
        break;
      case nbCancel:
        source_->DropHeldChanges();
        t.Cancel();
        break;
      case nbRefresh:
        t.Refresh();
        break;
    }
  } catch (const std::exception& e) {
    ReportDataControlError(e.what());
  }
  UpdateButtons();
}

void TDBNavigator::DataEvent(TDataEvent, int) {
  UpdateButtons();
}

void TDBNavigator::UpdateButtons() {
  bool active = source_ && source_->Active();
  TDataSetState state = active ? source_->State() : TDataSetState::Inactive;
  bool browse = state == TDataSetState::Browse;
  bool editing = state == TDataSetState::Edit || state == TDataSetState::Insert;
  bool bof = active && source_->DataSet()->Bof();
  bool eof = active && source_->DataSet()->Eof();
  bool empty = active && source_->DataSet()->IsEmpty();
  // Moving stores a pending edit, so the arrows stay usable while a record is edited.
  bool moving = browse || editing;
  buttons_[nbFirst]->setEnabled(moving && !bof);
  buttons_[nbPrior]->setEnabled(moving && !bof);
  buttons_[nbNext]->setEnabled(moving && !eof);
  buttons_[nbLast]->setEnabled(moving && !eof);
  bool writable = active && !source_->DataSet()->ReadOnly();
  buttons_[nbInsert]->setEnabled(writable);
  buttons_[nbDelete]->setEnabled(writable && !empty);
  bool held = active && source_->HeldChanges();
  buttons_[nbPost]->setEnabled(editing || held);
  buttons_[nbCancel]->setEnabled(editing || held);
  buttons_[nbRefresh]->setEnabled(active);
}

}  // namespace quellor
