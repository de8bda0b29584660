#include "app/ui/StorePw.h"

#include <QApplication>
#include <QCursor>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "store/api/StoreTb.h"

namespace quellor {

namespace {

QString FromLocal(const std::string& text) {
  return QString::fromLocal8Bit(text);
}
std::string ToLocal(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
  auto* button = new QPushButton(QObject::tr(text), parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

TStorePasswordDialog::TStorePasswordDialog(const std::vector<std::string>& known, QWidget* parent)
    : QDialog(parent) {
  setObjectName("StorePasswordDialog");
  setWindowTitle(tr("Table Password"));
  password_ = new QLineEdit(this);
  password_->setObjectName("edPassword");
  password_->setEchoMode(QLineEdit::Password);
  password_->setMaxLength(15);
  list_ = new QListWidget(this);
  list_->setObjectName("lbPasswords");
  for (const auto& p : known) list_->addItem(FromLocal(p));

  QPushButton* add = Button("&Add", "btnAdd", this);
  QPushButton* remove = Button("&Remove", "btnRemove", this);
  QPushButton* removeAll = Button("Remove A&ll", "btnRemoveAll", this);
  QPushButton* ok = Button("OK", "btnOK", this);
  QPushButton* cancel = Button("Cancel", "btnCancel", this);
  ok->setDefault(true);

  connect(add, &QPushButton::clicked, this, &TStorePasswordDialog::AddTyped);
  connect(remove, &QPushButton::clicked, this, [this] { delete list_->currentItem(); });
  connect(removeAll, &QPushButton::clicked, list_, &QListWidget::clear);
  connect(ok, &QPushButton::clicked, this, [this] {
    AddTyped();  // a typed password counts without pressing Add
    accept();
  });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(tr("A table is protected by a password. Password:"), this));
  auto* entry = new QHBoxLayout;
  entry->addWidget(password_, 1);
  entry->addWidget(add);
  layout->addLayout(entry);
  layout->addWidget(new QLabel(tr("Passwords known to this session:"), this));
  auto* listRow = new QHBoxLayout;
  listRow->addWidget(list_, 1);
  auto* listButtons = new QVBoxLayout;
  listButtons->addWidget(remove);
  listButtons->addWidget(removeAll);
  listButtons->addStretch(1);
  listRow->addLayout(listButtons);
  layout->addLayout(listRow);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
}

void TStorePasswordDialog::AddTyped() {
  QString text = password_->text();
  if (text.isEmpty()) return;
  if (list_->findItems(text, Qt::MatchExactly).isEmpty()) list_->addItem(text);
  password_->clear();
}

std::vector<std::string> TStorePasswordDialog::Passwords() const {
  std::vector<std::string> passwords;
  for (int i = 0; i < list_->count(); ++i) passwords.push_back(ToLocal(list_->item(i)->text()));
  return passwords;
}

void InstallStorePasswordDialog(TStoreSession& session, QWidget* parent) {
  session.OnPassword = [parent](TStoreSession& sender, bool& Continue) {
    // The person answers with the normal cursor, even inside a busy operation.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    TStorePasswordDialog dialog(sender.Passwords(), parent);
    bool accepted = dialog.exec() == QDialog::Accepted;
    QApplication::restoreOverrideCursor();
    if (!accepted) {
      Continue = false;
      return;
    }
    std::vector<std::string> before = sender.Passwords();
    std::vector<std::string> after = dialog.Passwords();
    sender.RemoveAllPasswords();
    for (const auto& p : after) sender.AddPassword(p);
    // OK without a new password would only ask again: the person gave up.
    Continue = after != before;
  };
}

}  // namespace quellor
