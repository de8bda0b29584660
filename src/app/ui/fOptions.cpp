#include "app/ui/fOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>
#include <exception>

#include "app/Config.h"
#include "app/Help.h"
#include "app/Options.h"
#include "app/ui/QtUi.h"

namespace quellor {

namespace {

QLineEdit* NewEdit(QWidget* parent, const char* name, const char* hint) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  if (hint) edit->setToolTip(hint);
  return edit;
}

QLabel* NewLabel(QWidget* parent, const char* name, const char* text, QWidget* buddy) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setBuddy(buddy);
  return label;
}

}  // namespace

TfrmOptions::TfrmOptions(TConfig& config, Ui& ui, QWidget* parent)
    : QDialog(parent), config_(config), ui_(ui) {
  setObjectName("frmOptions");
  setWindowTitle("Options");
  setModal(true);
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  pages_ = new QTabWidget(this);
  pages_->setObjectName("PageControl1");
  pages_->addTab(BuildMailPage(), "Mail");
  pages_->addTab(BuildWordingPage(), "Wording");
  pages_->addTab(BuildFoldersPage(), "Folders");
  pages_->setCurrentIndex(0);

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("OK");
  ok->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("Cancel");
  cancel->setAutoDefault(false);
  connect(ok, &QPushButton::clicked, this, [this] { OKClick(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);  // Esc rejects as well

  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, [this] { HelpContext(ui_, kHelpOptions); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pages_);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog border

  // Opening: the pages from the settings, the login fields enabled by the box, the wording
  // editor empty under "[Choose text to edit]".
  TOptionsFields f = OptionsFromSettings(config_);
  hostEdit_->setText(ToQ(f.HostName));
  portEdit_->setText(ToQ(f.Port));
  fromEdit_->setText(ToQ(f.From));
  subjectEdit_->setText(ToQ(f.Subject));
  edTOSSubject_->setText(ToQ(f.TOSSubject));
  signOnEdit_->setText(ToQ(f.SignOn));
  ckEnableAuth_->setChecked(f.Authentication);
  edLoginID_->setText(ToQ(f.LoginID));
  edPassword_->setText(ToQ(f.Password));
  edKilledSiteFolder_->setText(ToQ(f.KilledSiteFolder));
  for (QLineEdit* e : findChildren<QLineEdit*>()) e->setCursorPosition(0);  // show the start
  ckEnableAuthClick();
  {
    QSignalBlocker quiet(cbWording_);
    cbWording_->setCurrentIndex(-1);
    cbWording_->setEditText(kChooseTextToEdit);
  }
  memTextChange_->clear();
}

QWidget* TfrmOptions::BuildMailPage() {
  auto* page = new QWidget(pages_);
  page->setObjectName("tsMail");
  hostEdit_ = NewEdit(page, "HostEdit", "Mail server hostname or IP address");
  portEdit_ = NewEdit(page, "PortEdit", "Mail server port (should be smtp)");
  fromEdit_ = NewEdit(page, "FromEdit", "Author's EMail");
  subjectEdit_ = NewEdit(page, "SubjectEdit", "Message subject");
  signOnEdit_ = NewEdit(page, "SignOnEdit", "Signon message for the HELO command");
  edTOSSubject_ = NewEdit(page, "edTOSSubject", "Message subject");
  ckEnableAuth_ = new QCheckBox("Enable Authentication", page);
  ckEnableAuth_->setObjectName("ckEnableAuth");
  edLoginID_ = NewEdit(page, "edLoginID", nullptr);
  edPassword_ = NewEdit(page, "edPassword", nullptr);  // shown as typed
  lbLoginID_ = NewLabel(page, "lbLoginID", "LoginID:", edLoginID_);
  lbPassword_ = NewLabel(page, "lbPassword", "Password:", edPassword_);
  connect(ckEnableAuth_, &QCheckBox::clicked, this, [this] { ckEnableAuthClick(); });

  // The host, from, subject and TOS subject boxes in a left column, the port and sign boxes to
  // their right, the authentication box and the login fields below.
  auto* grid = new QGridLayout(page);
  grid->addWidget(NewLabel(page, "lbHost", "SMTP Host", hostEdit_), 0, 0);
  grid->addWidget(hostEdit_, 0, 1);
  grid->addWidget(NewLabel(page, "lbPort", "Port", portEdit_), 0, 2);
  grid->addWidget(portEdit_, 0, 3);
  grid->addWidget(NewLabel(page, "lbFrom", "From", fromEdit_), 1, 0);
  grid->addWidget(fromEdit_, 1, 1);
  grid->addWidget(NewLabel(page, "lbSign", "Sign", signOnEdit_), 1, 2);
  grid->addWidget(signOnEdit_, 1, 3);
  grid->addWidget(NewLabel(page, "lbSubject", "Subject", subjectEdit_), 2, 0);
  grid->addWidget(subjectEdit_, 2, 1);
  grid->addWidget(NewLabel(page, "lbTOSSubject", "TOS Subject", edTOSSubject_), 3, 0);
  grid->addWidget(edTOSSubject_, 3, 1);
  grid->addWidget(ckEnableAuth_, 4, 0, 1, 2);
  grid->addWidget(lbLoginID_, 5, 0);
  grid->addWidget(edLoginID_, 5, 1);
  grid->addWidget(lbPassword_, 6, 0);
  grid->addWidget(edPassword_, 6, 1);
  grid->setColumnMinimumWidth(1, 240);
  grid->setColumnMinimumWidth(3, 120);
  grid->setRowStretch(7, 1);

  QWidget* order[] = {hostEdit_,     portEdit_,     fromEdit_,  subjectEdit_, signOnEdit_,
                      edTOSSubject_, ckEnableAuth_, edLoginID_, edPassword_};
  for (size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
  return page;
}

QWidget* TfrmOptions::BuildWordingPage() {
  auto* page = new QWidget(pages_);
  page->setObjectName("tsWording");
  cbWording_ = new QComboBox(page);
  cbWording_->setObjectName("cbWording");
  cbWording_->setEditable(true);
  cbWording_->setInsertPolicy(QComboBox::NoInsert);
  for (const std::string& entry : WordingEntries()) cbWording_->addItem(ToQ(entry));
  cbWording_->setMinimumWidth(200);
  auto* save = new QPushButton("&Save", page);
  save->setObjectName("bnSave");
  save->setAutoDefault(false);
  memTextChange_ = new QPlainTextEdit(page);
  memTextChange_->setObjectName("memTextChange");
  memTextChange_->setFixedSize(481, 161);
  connect(cbWording_, &QComboBox::currentTextChanged, this, [this] { cbWordingChange(); });
  connect(save, &QPushButton::clicked, this, [this] { bnSaveClick(); });

  auto* layout = new QVBoxLayout(page);
  layout->addWidget(NewLabel(page, "lbEditText", "Edit text", cbWording_));
  auto* row = new QHBoxLayout();
  row->addWidget(cbWording_);
  row->addWidget(save);
  row->addStretch(1);
  layout->addLayout(row);
  layout->addWidget(NewLabel(page, "lbFragment", "Message fragment text", memTextChange_));
  layout->addWidget(memTextChange_);
  layout->addStretch(1);
  QWidget::setTabOrder(cbWording_, save);
  QWidget::setTabOrder(save, memTextChange_);
  return page;
}

QWidget* TfrmOptions::BuildFoldersPage() {
  auto* page = new QWidget(pages_);
  page->setObjectName("tsFolders");
  edKilledSiteFolder_ = NewEdit(page, "edKilledSiteFolder", nullptr);
  auto* browse = new QPushButton("...", page);
  browse->setObjectName("bnKilledSites");
  browse->setAutoDefault(false);
  browse->setFixedWidth(30);
  connect(browse, &QPushButton::clicked, this, [this] { bnKilledSitesClick(); });
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(
      NewLabel(page, "lbKilledSiteFolder", "Killed site export folder", edKilledSiteFolder_));
  auto* row = new QHBoxLayout();
  row->addWidget(edKilledSiteFolder_, 1);
  row->addWidget(browse);
  layout->addLayout(row);
  layout->addStretch(1);
  return page;
}

void TfrmOptions::ckEnableAuthClick() {
  bool on = ckEnableAuth_->isChecked();
  for (QWidget* w : {static_cast<QWidget*>(lbLoginID_), static_cast<QWidget*>(edLoginID_),
                     static_cast<QWidget*>(lbPassword_), static_cast<QWidget*>(edPassword_)})
    w->setEnabled(on);
}

bool TfrmOptions::FragmentEdited() const {
  return loadedEntry_ >= 0 && memTextChange_->toPlainText() != loadedText_;
}

bool TfrmOptions::SettleEditedFragment(const char* question) {
  if (!FragmentEdited()) return true;
  const std::string& name = WordingEntries()[static_cast<size_t>(loadedEntry_)];
  MbResult answer = ui_.MessageBox("The text of \"" + name + "\" has changed. " + question,
                                   "Options", MbButtons::YesNoCancel, MbIcon::Question);
  if (answer == MbResult::Cancel) return false;
  if (answer != MbResult::Yes) return true;
  try {
    WordingSave(config_, loadedEntry_, FromQ(memTextChange_->toPlainText()));
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
    return false;
  }
  loadedText_ = memTextChange_->toPlainText();
  return true;
}

void TfrmOptions::cbWordingChange() {
  int entry = WordingEntryOf(FromQ(cbWording_->currentText()));
  if (entry < 0) return;  // typed text that names no entry: the editor keeps its text
  if (entry == loadedEntry_ && FragmentEdited()) return;
  if (!SettleEditedFragment("Save it before choosing another text?")) {
    // The person stays on the edited fragment.
    QSignalBlocker quiet(cbWording_);
    cbWording_->setCurrentIndex(loadedEntry_);
    return;
  }
  try {
    std::optional<std::string> text = WordingEditorText(config_, entry);
    if (text) {
      memTextChange_->setPlainText(ToQ(*text));
      loadedEntry_ = entry;
      loadedText_ = memTextChange_->toPlainText();
    }
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());  // the editor keeps its previous text
  }
}

void TfrmOptions::bnSaveClick() {
  int entry = WordingEntryOf(FromQ(cbWording_->currentText()));
  try {
    WordingSave(config_, entry, FromQ(memTextChange_->toPlainText()));
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
    return;
  }
  if (entry >= 0) {
    loadedEntry_ = entry;
    loadedText_ = memTextChange_->toPlainText();
  }
}

void TfrmOptions::bnKilledSitesClick() {
  try {
    if (std::optional<std::string> folder = BrowseKilledSiteFolder(ui_))
      edKilledSiteFolder_->setText(ToQ(*folder));
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
  }
}

void TfrmOptions::OKClick() {
  if (!SettleEditedFragment("Save it before closing the dialog?")) return;
  // A port that is not a number: said at once, with everything typed still in the dialog.
  try {
    PortFromText(FromQ(portEdit_->text()));
  } catch (const EConvertError& e) {
    ui_.ShowError(e.what());
    pages_->setCurrentIndex(0);
    portEdit_->setFocus(Qt::OtherFocusReason);
    portEdit_->selectAll();
    return;
  }
  TOptionsFields f;
  f.HostName = FromQ(hostEdit_->text());
  f.Port = FromQ(portEdit_->text());
  f.From = FromQ(fromEdit_->text());
  f.Subject = FromQ(subjectEdit_->text());
  f.TOSSubject = FromQ(edTOSSubject_->text());
  f.SignOn = FromQ(signOnEdit_->text());
  f.Authentication = ckEnableAuth_->isChecked();
  f.LoginID = FromQ(edLoginID_->text());
  f.Password = FromQ(edPassword_->text());
  f.KilledSiteFolder = FromQ(edKilledSiteFolder_->text());
  try {
    OptionsOk(config_, f);
  } catch (const EOptionsRefused& e) {
    // Nothing has changed: the person corrects the value and tries again.
    ui_.ShowError(e.what());
    return;
  } catch (const std::exception& e) {
    // A settings file that cannot be written: the error is shown and the dialog closes.
    ui_.ShowError(e.what());
  }
  accept();
}

}  // namespace quellor
