// StorePw: the password dialog of the table store. When a table is encrypted with a password
// the session does not know, the session asks its OnPassword handler; the program installs this
// dialog there at start-up, so the person can type the password and the table opens.
//
// TStorePasswordDialog shows a box for a password (edPassword), the passwords the session knows
// (lbPasswords) and the buttons Add, Remove, Remove All, OK and Cancel (btnAdd, btnRemove,
// btnRemoveAll, btnOK, btnCancel). Add puts the typed password into the list; OK hands the list
// to the session and lets it try again; Cancel gives up, and the open fails with 10498.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QLineEdit;
class QListWidget;

namespace quellor {

class TStoreSession;

class TStorePasswordDialog : public QDialog {
  Q_OBJECT
 public:
  TStorePasswordDialog(const std::vector<std::string>& known, QWidget* parent = nullptr);
  // The passwords in the list, as the person left it.
  std::vector<std::string> Passwords() const;

 private:
  void AddTyped();
  QLineEdit* password_;
  QListWidget* list_;
};

// Installs the dialog as `session`'s OnPassword handler; `parent` is the window it belongs to
// (may be null).
void InstallStorePasswordDialog(TStoreSession& session, QWidget* parent);

}  // namespace quellor
