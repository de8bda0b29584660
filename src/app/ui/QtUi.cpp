#include "app/ui/QtUi.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpacerItem>
#include <QStringList>
#include <algorithm>
#include <memory>

#include "app/ui/FolderPicker.h"

namespace quellor {
namespace {

QString FilterText(const std::vector<FileFilter>& filters) {
  QStringList parts;
  for (const auto& f : filters) parts << ToQ(f.description) + " (" + ToQ(f.pattern) + ")";
  return parts.join(";;");
}

QMessageBox::Icon ToQIcon(MbIcon icon) {
  switch (icon) {
    case MbIcon::Information:
      return QMessageBox::Information;
    case MbIcon::Warning:
      return QMessageBox::Warning;
    case MbIcon::Error:
      return QMessageBox::Critical;
    case MbIcon::Question:
      return QMessageBox::Question;
    case MbIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

QtUi::QtUi(QWidget* parent) : parent_(parent) {
  // The wake holds no pointer to this object: a call queued in Qt's event loop after the Ui has
  // gone finds the poster closed and does nothing.
  std::weak_ptr<UiPoster> weak = Poster();
  Poster()->SetWake([weak] {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app,
        [weak] {
          if (std::shared_ptr<UiPoster> poster = weak.lock()) poster->RunPending();
        },
        Qt::QueuedConnection);
  });
}

QtUi::~QtUi() {
  Poster()->Close();
}

void QtUi::ShowMessage(const std::string& text) {
  MessageBox(text, "Quellor", MbButtons::Ok, MbIcon::None);
}

void QtUi::ShowError(const std::string& text) {
  MessageBox(StandardErrorText(text), "Quellor", MbButtons::Ok, MbIcon::Error);
}

MbResult QtUi::MessageBox(const std::string& text, const std::string& caption, MbButtons buttons,
                          MbIcon icon) {
  return ShowBox(text, caption, buttons, icon, nullptr);
}

MbResult QtUi::MessageBoxWithDefault(const std::string& text, const std::string& caption,
                                     MbButtons buttons, MbIcon icon, MbResult defaultButton) {
  return ShowBox(text, caption, buttons, icon, &defaultButton);
}

MbResult QtUi::ShowBox(const std::string& text, const std::string& caption, MbButtons buttons,
                       MbIcon icon, const MbResult* defaultButton) {
  QMessageBox box(ToQIcon(icon), ToQ(caption), ToQ(text), QMessageBox::NoButton, parent_);
  box.setObjectName("MessageBox");
  // A box with a short text would be narrower than its caption, which the title bar then cuts
  // ("Q… r"): the box is at least as wide as the caption and the title bar's buttons.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
    titleFont.setBold(true);
    int room = QFontMetrics(titleFont).horizontalAdvance(ToQ(caption)) + 160;
    grid->addItem(new QSpacerItem(room, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  switch (buttons) {
    case MbButtons::Ok:
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case MbButtons::OkCancel:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      break;
    case MbButtons::YesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    case MbButtons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
  }
  if (defaultButton) {
    QMessageBox::StandardButton standard = QMessageBox::Ok;
    switch (*defaultButton) {
      case MbResult::Ok:
        standard = QMessageBox::Ok;
        break;
      case MbResult::Cancel:
        standard = QMessageBox::Cancel;
        break;
      case MbResult::Yes:
        standard = QMessageBox::Yes;
        break;
      case MbResult::No:
        standard = QMessageBox::No;
        break;
    }
    if (auto* b = qobject_cast<QPushButton*>(box.button(standard))) box.setDefaultButton(b);
  }
  switch (box.exec()) {
    case QMessageBox::Ok:
      return MbResult::Ok;
    case QMessageBox::Yes:
      return MbResult::Yes;
    case QMessageBox::No:
      return MbResult::No;
    default:
      return MbResult::Cancel;
  }
}

std::optional<std::string> QtUi::InputBox(const std::string& caption, const std::string& prompt,
                                          const std::string& initial) {
  bool ok = false;
  QString text = QInputDialog::getText(parent_, ToQ(caption), ToQ(prompt), QLineEdit::Normal,
                                       ToQ(initial), &ok);
  if (!ok) return std::nullopt;
  return FromQ(text);
}

std::optional<std::string> QtUi::OpenFileDialog(const std::string& title,
                                                const std::vector<FileFilter>& filters,
                                                const std::string& initialDir) {
  QString name =
      QFileDialog::getOpenFileName(parent_, ToQ(title), ToQ(initialDir), FilterText(filters));
  if (name.isEmpty()) return std::nullopt;
  return FromQ(name);
}

std::optional<std::string> QtUi::SaveFileDialog(const std::string& title,
                                                const std::vector<FileFilter>& filters,
                                                const std::string& initialDir,
                                                const std::string& defaultName) {
  QString start = ToQ(initialDir);
  if (!defaultName.empty())
    start = start.isEmpty() ? ToQ(defaultName) : start + "/" + ToQ(defaultName);
  QString name = QFileDialog::getSaveFileName(parent_, ToQ(title), start, FilterText(filters));
  if (name.isEmpty()) return std::nullopt;
  return FromQ(name);
}

std::optional<std::string> QtUi::SelectFolder(const std::string& title,
                                              const std::string& initialDir) {
  TFolderPicker picker(*this, parent_, title, initialDir);
  if (picker.exec() != QDialog::Accepted) return std::nullopt;
  return picker.Folder();
}

void QtUi::BeginBusy() {
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}
void QtUi::EndBusy() {
  QGuiApplication::restoreOverrideCursor();
}
void QtUi::ProcessEvents() {
  QApplication::processEvents();
}
void QtUi::SetClipboardText(const std::string& text) {
  QGuiApplication::clipboard()->setText(ToQ(text));
}

void QtUi::BeginProgress(const std::string& caption, int total) {
  EndProgress();
  progress_ = new QProgressDialog(parent_);
  progress_->setObjectName("ProgressDialog");
  progress_->setWindowTitle(ToQ(caption));
  progress_->setWindowModality(Qt::ApplicationModal);
  progress_->setAutoClose(false);
  progress_->setAutoReset(false);
  progress_->setMinimumDuration(500);
  progress_->setRange(0, total > 0 ? total : 0);
  progress_->setValue(0);
}

bool QtUi::StepProgress(int done, const std::string& text) {
  if (!progress_) return false;
  progress_->setLabelText(ToQ(text));
  if (progress_->maximum() > 0) progress_->setValue(std::min(done, progress_->maximum()));
  // Until the dialog is up the window takes no input, so nothing else starts meanwhile; once it
  // is up it is modal and only its Cancel button answers.
  if (progress_->isVisible()) {
    QApplication::processEvents();
  } else {
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  return progress_ && progress_->wasCanceled();
}

void QtUi::EndProgress() {
  if (!progress_) return;
  progress_->close();
  delete progress_;
  progress_ = nullptr;
}

}  // namespace quellor
