// TfrmOptions: the Options dialog, opened modally from View > Options and destroyed when it
// closes. Three pages: "Mail" (server, port, sender, subjects, sign-on, authentication with login
// and password), "Wording" (the choice box cbWording, "&Save" and the editor memTextChange for
// the fifteen wording fragments and the notice footer file) and "Folders" (the killed-sites
// folder with its picker button). OK takes the Mail and Folders pages into the settings and
// writes them; Cancel closes, keeping only what "&Save" already wrote. F1 opens help context 40.
// The work itself is done by the functions of Options.h; the dialog shows their errors.
//
// Nothing the person typed is lost without a word: a port that is not a number is refused with
// the dialog open and the focus on the port (nothing taken, nothing written), and a wording
// fragment edited but not saved is asked about ("Save it?" Yes, No, Cancel) before another
// fragment is chosen or OK closes the dialog.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTabWidget;

namespace quellor {

class TConfig;
class Ui;

class TfrmOptions : public QDialog {
  Q_OBJECT

 public:
  TfrmOptions(TConfig& config, Ui& ui, QWidget* parent = nullptr);

  // The buttons' actions, also callable by tests.
  void OKClick();
  void bnSaveClick();
  void bnKilledSitesClick();
  // The login fields follow the "Enable Authentication" box.
  void ckEnableAuthClick();
  // Loads the editor for the entry the choice box names now (nothing for text naming none).
  void cbWordingChange();

 private:
  QWidget* BuildMailPage();
  QWidget* BuildWordingPage();
  QWidget* BuildFoldersPage();
  // Whether the editor holds changes to the fragment it was loaded with.
  bool FragmentEdited() const;
  // Asks about an edited fragment: Yes saves it, No drops it; false for Cancel (or a save that
  // failed), when the person stays on the fragment.
  bool SettleEditedFragment(const char* question);

  TConfig& config_;
  Ui& ui_;
  QTabWidget* pages_ = nullptr;
  QLineEdit* hostEdit_ = nullptr;
  QLineEdit* portEdit_ = nullptr;
  QLineEdit* fromEdit_ = nullptr;
  QLineEdit* subjectEdit_ = nullptr;
  QLineEdit* signOnEdit_ = nullptr;
  QLineEdit* edTOSSubject_ = nullptr;
  QCheckBox* ckEnableAuth_ = nullptr;
  QLabel* lbLoginID_ = nullptr;
  QLineEdit* edLoginID_ = nullptr;
  QLabel* lbPassword_ = nullptr;
  QLineEdit* edPassword_ = nullptr;
  QComboBox* cbWording_ = nullptr;
  QPlainTextEdit* memTextChange_ = nullptr;
  QLineEdit* edKilledSiteFolder_ = nullptr;
  int loadedEntry_ = -1;  // the entry whose text the editor was loaded with (or last saved)
  QString loadedText_;
};

}  // namespace quellor
